#include "tools/emulator/gemini/generate_content.h"

#include <httplib.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/emulator/event_stream.h"
#include "tools/emulator/faults.h"
#include "tools/emulator/gemini/checks.h"
#include "tools/emulator/gemini/dialect_checks.h"
#include "tools/emulator/model_lineup.h"
#include "tools/emulator/picture_answers.h"
#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

json gemini_usage(const CheckedRequest& r) {
  const int text = text_tokens(r.prompt), images = 258 * r.images;
  const int out = std::max(r.width, r.height) > 2048 ? 2000 : 1290;
  return {{"promptTokenCount", text + images},
          {"candidatesTokenCount", out},
          {"totalTokenCount", text + images + out},
          {"promptTokensDetails",
           {{{"modality", "TEXT"}, {"tokenCount", text}},
            {{"modality", "IMAGE"}, {"tokenCount", images}}}},
          {"candidatesTokensDetails", {{{"modality", "IMAGE"}, {"tokenCount", out}}}}};
}

// The answer `body` as streamGenerateContent sends it: "stream-thoughts:K" thought images
// first (default 2), then each part of the answer in an event of its own, then an event with
// the finish reason and the usage. Every event is a whole GenerateContentResponse.
EventStream gemini_events(const Scenario& s, const json& body, std::uint64_t seed,
                          const CheckedRequest& checked) {
  EventStream stream;
  const auto event = [&](json candidate) {
    json out = {{"candidates", {std::move(candidate)}},
                {"modelVersion", body["modelVersion"]},
                {"responseId", body["responseId"]}};
    return sse_event("", out.dump());
  };
  const auto with_parts = [](json parts) {
    return json{{"content", {{"role", "model"}, {"parts", std::move(parts)}}}, {"index", 0}};
  };
  if (!body.contains("candidates")) {
    stream.events.push_back(sse_event("", body.dump()));
  } else {
    const int thoughts = s.fault == Fault::kStreamThoughts ? static_cast<int>(s.number(2)) : 0;
    for (int k = 0; k < thoughts; ++k) {
      // Thoughts are rough drafts: smaller pictures, each its own.
      const auto draft =
          render_png(seed + 2000 + static_cast<std::uint64_t>(k), std::max(16, checked.width / 2),
                     std::max(16, checked.height / 2));
      stream.events.push_back(event(with_parts(json::array(
          {{{"inlineData", {{"mimeType", "image/png"}, {"data", host::base64_encode(draft)}}},
            {"thought", true}}}))));
    }
    const json& candidate = body["candidates"][0];
    for (const json& part : candidate["content"]["parts"]) {
      if (part.contains("inlineData") || part.contains("fileData")) {
        stream.final_event = stream.events.size();
      }
      stream.events.push_back(event(with_parts(json::array({part}))));
    }
    json last = with_parts(json::array());
    last["finishReason"] = candidate["finishReason"];
    json out = {{"candidates", {std::move(last)}},
                {"usageMetadata", body["usageMetadata"]},
                {"modelVersion", body["modelVersion"]},
                {"responseId", body["responseId"]}};
    stream.events.push_back(sse_event("", out.dump()));
  }
  stream.error = sse_event(
      "", gemini_error_body(500,
                            "An internal error has occurred. Please retry or report in "
                            "https://developers.generativeai.google/guide/troubleshooting",
                            "INTERNAL")
              .dump());
  return stream;
}

}  // namespace

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the model, then the method
void answer_generate_content(const AnswerContext& context, const httplib::Request& req,
                             httplib::Response& res, const Scenario& scenario,
                             const std::string& model, const std::string& method) {
  // NOLINTEND(bugprone-easily-swappable-parameters)
  const std::optional<Scenario> s = scenario;
  const auto catalogue = zantrel::config::model_catalogue();
  const ModelLineup lineup(*catalogue, scenario, host::utc_day());
  const host::ModelInfo* served = lineup.served(host::Service::kGemini, model);
  if (auto refusal = context.direct ? check_gemini_model(model, served) : std::nullopt) {
    send_json(res, refusal->status, refusal->body);
    return;
  }
  if (auto refusal = context.direct ? check_gemini_members(req.body) : std::nullopt) {
    send_json(res, refusal->status, refusal->body);
    return;
  }
  if (auto refusal = context.direct ? check_gemini_signatures(model, req.body) : std::nullopt) {
    send_json(res, refusal->status, refusal->body);
    return;
  }
  const auto checked = check_gemini_request(req.body);
  if (!checked.error.empty()) {
    send_json(res, 400, gemini_error_body(400, checked.error, "INVALID_ARGUMENT"));
    return;
  }
  if (auto refusal = context.direct && served != nullptr
                         ? check_gemini_model_request(*served, checked)
                         : std::nullopt) {
    send_json(res, refusal->status, refusal->body);
    return;
  }
  for (const std::string& uri : checked.file_uris) {
    if (s->fault == Fault::kFileExpired || !context.files->holds(uri, context.base_url)) {
      const std::string id = uri.substr(uri.rfind('/') + 1);
      send_json(
          res, 403,
          gemini_error_body(
              403, "You do not have permission to access the File " + id + " or it may not exist.",
              "PERMISSION_DENIED"));
      return;
    }
  }
  if (wait_before_answering(*s, context, req, res)) return;
  if (answer_shared_fault(Api::kGemini, *s, req, res)) return;

  // A conversation's next picture differs from the one before.
  const std::uint64_t seed =
      seed_from(checked.prompt) + 7919 * static_cast<std::uint64_t>(checked.earlier_turns);
  // Gemini 3 models sign their image parts and the first text part (a gateway passes the
  // signatures on); the direct mode also checks them on the way back.
  const bool signs = model.starts_with("gemini-3") || model.starts_with("gemini-nano-banana");
  const auto signed_part = [signs](json part) {
    if (signs) {
      part["thoughtSignature"] = thought_signature_of(
          part.contains("inlineData") ? part["inlineData"]["data"].get<std::string>()
                                      : part.value("text", ""));
    }
    return part;
  };
  json part;
  json candidate = json::object();
  if (s->fault == Fault::kFinish || s->fault == Fault::kNoImage) {
    candidate["content"] = {{"role", "model"}, {"parts", {{{"text", "I can't draw that."}}}}};
    candidate["finishReason"] = s->fault == Fault::kFinish ? s->param : "STOP";
  } else {
    if (const auto id = link_id(*s, seed, checked.width, checked.height)) {
      part = {{"fileData",
               {{"mimeType", "image/png"}, {"fileUri", context.base_url + "/files/" + *id}}}};
    } else {
      const std::string data = s->fault == Fault::kBadBase64
                                   ? std::string("!!!not base64!!!Q")
                                   : picture_data(*s, seed, checked.width, checked.height);
      part = {{"inlineData", {{"mimeType", "image/png"}, {"data", data}}}};
    }
    const json text_part = {{"text", "Here is your picture."}};
    candidate["content"] = {
        {"role", "model"},
        {"parts",
         {signed_part(text_part), part.contains("inlineData") ? signed_part(part) : part}}};
    candidate["finishReason"] = "STOP";
  }
  candidate["index"] = 0;
  json body = {{"candidates", {candidate}},
               {"usageMetadata", gemini_usage(checked)},
               {"modelVersion", model},
               {"responseId", "emu-" + file_id(seed, 0, 0).substr(0, 16)}};
  if (s->fault == Fault::kPromptBlocked) {
    body.erase("candidates");
    body["promptFeedback"] = {{"blockReason", "PROHIBITED_CONTENT"}};
  }
  if (method == "streamGenerateContent") {
    send_event_stream(res, gemini_events(*s, body, seed, checked), *s);
    return;
  }
  deliver(*s, res, body.dump());
}

}  // namespace zantrel::emulator
