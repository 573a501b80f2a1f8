#include "tools/emulator/scenario.h"

#include <algorithm>
#include <charconv>

#include "tools/emulator/batch_plan.h"
#include "tools/emulator/job_store.h"

namespace zantrel::emulator {

const std::vector<ScenarioInfo>& scenario_catalogue() {
  static const std::vector<ScenarioInfo> catalogue = {
      {Fault::kNormal, "normal", "",
       "success: an inline image (Gemini), b64_json or a file link (images API)"},
      {Fault::kNewModels, "new-models", "",
       "success; the model lists and the models served change as a launch changes them: one "
       "model of each service the built-in catalogue lacks is added, one it has left out"},
      {Fault::kBusy, "busy", "SECONDS",
       "429 with a JSON error body and a retry hint of SECONDS (RetryInfo 17 s; Retry-After "
       "20 s by default)"},
      {Fault::kBusyText, "busy-text", "", "429 with a plain-text body"},
      {Fault::kEchoKey, "echo-key", "",
       "a refusal that repeats the key the request carried, in its text and its request id"},
      {Fault::kStatus, "status", "CODE", "that status with a JSON error body"},
      {Fault::kStatusText, "status-text", "CODE", "that status with a plain-text body"},
      {Fault::kStatusEmptyError, "status-empty-error", "CODE", "that status with the body {}"},
      {Fault::kNotJson, "not-json", "", "200 with an HTML body"},
      {Fault::kEmptyBody, "empty-body", "", "200 with an empty body"},
      {Fault::kTruncatedJson, "truncated-json", "", "200 with JSON cut off in the middle"},
      {Fault::kDeepJson, "deep-json", "", "200 with 100,000 nested arrays"},
      {Fault::kFinish, "finish", "REASON",
       "200 without an image, the last finish reason REASON (images API: no data)"},
      {Fault::kNoImage, "no-image", "", "200 without any image"},
      {Fault::kPromptBlocked, "prompt-blocked", "",
       "Gemini: 200 without candidates, promptFeedback.blockReason set"},
      {Fault::kFileLink, "file-link", "",
       "200 with a link to the image on the emulator (GET /files/...)"},
      {Fault::kMissingLink, "missing-link", "", "200 with a link that answers 404"},
      {Fault::kLinkRedirectScheme, "link-redirect-scheme", "",
       "200 with a link that redirects to an ftp:// address"},
      {Fault::kLinkHalfway, "link-halfway", "", "200 with a link whose download stops halfway"},
      {Fault::kLinkSilent, "link-silent", "MS",
       "200 with a link whose download sends its headers, then nothing for MS milliseconds "
       "(default 3000), then the picture"},
      {Fault::kDataLink, "data-link", "", "images API: 200 with a data: link"},
      {Fault::kBadBase64, "bad-base64", "", "200 whose image data is not base64"},
      {Fault::kDelay, "delay", "MS",
       "wait MS milliseconds (default 3000) before the headers, then succeed"},
      {Fault::kTrickle, "trickle", "MS",
       "succeed, sending the body in 8 pieces MS milliseconds apart (default 300)"},
      {Fault::kReset, "reset", "",
       "send the headers and part of the body, then drop the connection"},
      {Fault::kTruncated, "truncated", "", "announce a longer Content-Length than the body sent"},
      {Fault::kChunkedCut, "chunked-cut", "",
       "send half the body with chunked coding, then drop the connection"},
      {Fault::kOversized, "oversized", "MIB",
       "200 with a JSON body of MIB mebibytes (default 300)"},
      {Fault::kOversizedChunked, "oversized-chunked", "MIB",
       "the same body with chunked coding, so no length is announced (default 300)"},
      {Fault::kRedirect, "redirect", "", "302 to the same path"},
      {Fault::kLarge, "large", "MIB",
       "succeed with an image of MIB mebibytes (a picture padded with seeded bytes; default 20)"},
      {Fault::kStreamFinalFirst, "stream-final-first", "",
       "a streamed answer sends the final image's event before the previews"},
      {Fault::kStreamFinalOnly, "stream-final-only", "",
       "images API: a streamed answer sends only the completed event, no partial images, however "
       "many were asked (as the service was seen doing in December 2026)"},
      {Fault::kStreamThoughts, "stream-thoughts", "K",
       "Gemini: a streamed answer shows K thought images first (default 2)"},
      {Fault::kStreamCut, "stream-cut", "",
       "a streamed answer drops the connection halfway through the final event"},
      {Fault::kStreamError, "stream-error", "",
       "a streamed answer sends an error event after its first event"},
      {Fault::kStreamStall, "stream-stall", "MS",
       "a streamed answer pauses MS milliseconds after its first event"},
      {Fault::kStreamPace, "stream-pace", "MS",
       "a streamed answer pauses MS milliseconds before each event after the first (default 200)"},
      {Fault::kUploadCut, "upload-cut", "",
       "Files API: the first upload of each session keeps half its bytes, then drops the "
       "connection"},
      {Fault::kFileTtl, "file-ttl", "SECONDS",
       "Files API: a file uploaded now is kept SECONDS seconds (default 60)"},
      {Fault::kFileExpired, "file-expired", "", "Gemini: every file a request names has expired"},
      {Fault::kSmallDelay, "small-delay", "MS",
       "wait MS milliseconds (default 200), then succeed with a small 64 x 36 picture"},
      {Fault::kBatch, "batch", "PLAN",
       "batches created now follow PLAN, options joined by '+': delay=MS (default 2000), "
       "fail-every=K (every K-th request a 500), expire=N / fail=N (the N-th batch created), "
       "lost-create=N (the N-th create's answer cut off), create-wait=MS, cut-results (each "
       "results file's first download stops halfway), small (answers carry small-delay:0's "
       "picture)"},
      {Fault::kJob, "job", "PLAN",
       "background jobs submitted now follow PLAN, options joined by '+': delay=MS (default "
       "2000), fail, expire (gone once ended), lost-submit (the submit's answer cut off after the "
       "job is made), busy-polls=N (the first N polls answer 503)"},
  };
  return catalogue;
}

std::optional<Scenario> Scenario::parse(std::string_view text) {
  Scenario scenario;
  const auto colon = text.find(':');
  scenario.name = std::string(text.substr(0, colon));
  if (colon != std::string_view::npos) scenario.param = std::string(text.substr(colon + 1));
  const auto& catalogue = scenario_catalogue();
  const auto known =
      std::find_if(catalogue.begin(), catalogue.end(),
                   [&](const ScenarioInfo& info) { return scenario.name == info.name; });
  if (known == catalogue.end()) return std::nullopt;
  scenario.fault = known->fault;
  if (!scenario.param.empty() && *known->param == '\0') return std::nullopt;
  if (std::string_view(known->param) == "PLAN") {
    const bool readable = scenario.fault == Fault::kJob
                              ? JobPlan::parse(scenario.param).has_value()
                              : BatchPlan::parse(scenario.param).has_value();
    if (!readable) return std::nullopt;
    return scenario;
  }
  if (!scenario.param.empty() && std::string_view(known->param) != "REASON" &&
      scenario.number(-1) < 0) {
    return std::nullopt;
  }
  return scenario;
}

long Scenario::number(long fallback) const {
  if (param.empty()) return fallback;
  long value = -1;
  const auto [end, error] = std::from_chars(param.data(), param.data() + param.size(), value);
  if (error != std::errc() || end != param.data() + param.size()) return -1;
  return value;
}

std::optional<ScenarioMix> ScenarioMix::parse(std::string_view text) {
  ScenarioMix mix;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view entry = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const auto colon = entry.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    unsigned weight = 0;
    const std::string_view digits = entry.substr(colon + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), weight);
    if (error != std::errc() || end != digits.data() + digits.size() || weight == 0) {
      return std::nullopt;
    }
    auto scenario = Scenario::parse(entry.substr(0, colon));
    if (!scenario) return std::nullopt;
    mix.entries.push_back({std::move(*scenario), weight});
  }
  if (mix.entries.empty()) return std::nullopt;
  return mix;
}

unsigned long ScenarioMix::total_weight() const {
  unsigned long total = 0;
  for (const Entry& entry : entries) total += entry.weight;
  return total;
}

const Scenario& ScenarioMix::pick(unsigned long draw) const {
  for (const Entry& entry : entries) {
    if (draw < entry.weight) return entry.scenario;
    draw -= entry.weight;
  }
  return entries.back().scenario;
}

}  // namespace zantrel::emulator
