#include "tools/emulator/emulator.h"

#include <httplib.h>
#include <simdjson.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/emulator/batch_engine.h"
#include "tools/emulator/event_stream.h"
#include "tools/emulator/faults.h"
#include "tools/emulator/file_store.h"
#include "tools/emulator/listen_backlog.h"
#include "tools/emulator/model_lineup.h"
#include "tools/emulator/picture.h"
#include "tools/emulator/request_checks.h"
#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr const char* kScenarioHeader = "X-Zantrel-Scenario";

// Tokens as the services count them, roughly: a token per four characters of text, a fixed
// number per image in, and per image out by its size (Gemini) or quality (images API).
int text_tokens(const std::string& text) { return static_cast<int>(text.size() / 4 + 1); }

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

// Output tokens grow with the area of the picture (these are those of 1024x1024) and with n.
json images_usage(const CheckedRequest& r) {
  const int text = text_tokens(r.prompt), images = 323 * r.images;
  const auto quality = r.fields.find("quality");
  const std::string level = quality == r.fields.end() ? "" : quality->second;
  const int square = level == "low" ? 272 : level == "high" ? 4160 : 1056;
  const double area = static_cast<double>(r.width) * r.height / (1024.0 * 1024.0);
  const int out = static_cast<int>(std::lround(square * area)) * std::max(r.n, 1);
  return {{"input_tokens", text + images},
          {"output_tokens", out},
          {"total_tokens", text + images + out},
          {"input_tokens_details", {{"text_tokens", text}, {"image_tokens", images}}}};
}

std::string file_id(std::uint64_t seed, int width, int height) {
  char id[64];
  std::snprintf(id, sizeof id, "%016llx-%dx%d.png", static_cast<unsigned long long>(seed), width,
                height);
  return id;
}

// The file id a link scenario points at, or nothing for scenarios that answer inline.
std::optional<std::string> link_id(const Scenario& s, std::uint64_t seed, int width, int height) {
  if (s.fault == Fault::kFileLink) return file_id(seed, width, height);
  if (s.fault == Fault::kMissingLink) return "missing";
  if (s.fault == Fault::kLinkRedirectScheme) return "redirect-scheme";
  if (s.fault == Fault::kLinkHalfway) return "halfway-" + file_id(seed, width, height);
  if (s.fault == Fault::kLinkSilent) {
    return "silent-" + std::to_string(s.number(3000)) + "-" + file_id(seed, width, height);
  }
  return std::nullopt;
}

// The base64 image for a success answer, shaped by the scenario: a picture of the asked size, a
// small one ("small-delay"), or one padded to many mebibytes ("large").
std::string picture_data(const Scenario& s, std::uint64_t seed, int width, int height,
                         const PictureStyle& style = {}) {
  if (s.fault == Fault::kSmallDelay) return host::base64_encode(render_png(seed, 64, 36));
  host::Bytes png = render_picture(seed, width, height, style);
  if (s.fault == Fault::kLarge) {
    // Bytes after the end chunk are ignored by PNG readers, so the file stays a valid picture.
    const std::size_t size = std::max(png.size(), static_cast<std::size_t>(s.number(20)) << 20);
    std::mt19937_64 random(seed);
    std::size_t at = png.size();
    png.resize(size);
    for (; at < size; at += 8) {
      const std::uint64_t word = random();
      std::memcpy(png.data() + at, &word, std::min<std::size_t>(8, size - at));
    }
  }
  return host::base64_encode(png);
}

// The quality an images answer names: the one asked, "medium" for none or "auto".
std::string answered_quality(const CheckedRequest& r) {
  const auto quality = r.fields.find("quality");
  if (quality == r.fields.end() || quality->second.empty() || quality->second == "auto") {
    return "medium";
  }
  return quality->second;
}

// The picture style an images request asks for.
PictureStyle style_of(const CheckedRequest& r) {
  PictureStyle style;
  style.format = r.output_format == "jpeg"   ? PictureFormat::kJpeg
                 : r.output_format == "webp" ? PictureFormat::kWebp
                 : r.output_format == "gif"  ? PictureFormat::kGif
                 : r.output_format == "svg"  ? PictureFormat::kSvg
                                             : PictureFormat::kPng;
  style.transparent = r.background == "transparent";
  style.quality = r.output_compression;
  return style;
}

}  // namespace

struct Emulator::State {
  EmulatorOptions options;
  // cpp-httplib's TLS server derives from the plain one.
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  int port = 0;
  mutable std::mutex mutex;
  Scenario scenario;
  mutable std::mt19937_64 random;  // draws of the scenario mix, under `mutex`
  std::set<std::string> peers;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> served{0};  // service requests of either API
  FileStore files;
  BatchEngine batches{files, [this](const std::string& path, const std::string& body,
                                    const Scenario& s) { return answer_inner(path, body, s); }};

  std::string base_url() const {
    return (options.tls_cert_file.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
           std::to_string(port);
  }

  Scenario current() const {
    std::lock_guard lock(mutex);
    if (options.scenario_mix) {
      return options.scenario_mix->pick(random() % options.scenario_mix->total_weight());
    }
    return scenario;
  }

  std::string request_id() {
    char id[24];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(++requests));
    return id;
  }

  void note_peer(const httplib::Request& req) {
    std::lock_guard lock(mutex);
    peers.insert(req.remote_addr + ":" + std::to_string(req.remote_port));
  }

  bool authorised(Api api, const httplib::Request& req, httplib::Response& res) const {
    // The images API takes its key as a bearer token in every dialect.
    const auto refusal = check_key(
        req, options.api_key, api == Api::kGemini ? options.dialect : AcceptedDialect::kGateway);
    if (refusal) send_json(res, refusal->status, refusal->body);
    return !refusal;
  }

  bool direct() const { return options.dialect == AcceptedDialect::kDirect; }

  std::optional<Scenario> scenario_for(const httplib::Request& req, httplib::Response& res) const {
    if (!req.has_header(kScenarioHeader)) return current();
    auto chosen = Scenario::parse(req.get_header_value(kScenarioHeader));
    if (!chosen) {
      send_json(res, 400,
                gemini_error_body(400, "unknown scenario in " + std::string(kScenarioHeader),
                                  "INVALID_ARGUMENT"));
    }
    return chosen;
  }

  void gemini(const httplib::Request& req, httplib::Response& res) {
    ++served;
    note_peer(req);
    if (!authorised(Api::kGemini, req, res)) return;
    auto s = scenario_for(req, res);
    if (!s) return;
    gemini_answer(req, res, *s, req.matches[1], req.matches[2]);
  }

  // A generateContent request (`method` "streamGenerateContent" for the streamed form).
  // NOLINTBEGIN(bugprone-easily-swappable-parameters): the model, then the method
  void gemini_answer(const httplib::Request& req, httplib::Response& res, const Scenario& scenario,
                     const std::string& model, const std::string& method) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    const std::optional<Scenario> s = scenario;
    const auto catalogue = zantrel::config::model_catalogue();
    const ModelLineup lineup(*catalogue, scenario, host::utc_day());
    const host::ModelInfo* served = lineup.served(host::Service::kGemini, model);
    if (auto refusal = direct() ? check_gemini_model(model, served) : std::nullopt) {
      send_json(res, refusal->status, refusal->body);
      return;
    }
    if (auto refusal = direct() ? check_gemini_members(req.body) : std::nullopt) {
      send_json(res, refusal->status, refusal->body);
      return;
    }
    if (auto refusal = direct() ? check_gemini_signatures(model, req.body) : std::nullopt) {
      send_json(res, refusal->status, refusal->body);
      return;
    }
    const auto checked = check_gemini_request(req.body);
    if (!checked.error.empty()) {
      send_json(res, 400, gemini_error_body(400, checked.error, "INVALID_ARGUMENT"));
      return;
    }
    if (auto refusal = direct() && served != nullptr ? check_gemini_model_request(*served, checked)
                                                     : std::nullopt) {
      send_json(res, refusal->status, refusal->body);
      return;
    }
    for (const std::string& uri : checked.file_uris) {
      if (s->fault == Fault::kFileExpired || !files.holds(uri, base_url())) {
        const std::string id = uri.substr(uri.rfind('/') + 1);
        send_json(res, 403,
                  gemini_error_body(403,
                                    "You do not have permission to access the File " + id +
                                        " or it may not exist.",
                                    "PERMISSION_DENIED"));
        return;
      }
    }
    wait_before_answering(*s);
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
        part = {
            {"fileData", {{"mimeType", "image/png"}, {"fileUri", base_url() + "/files/" + *id}}}};
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

  // The answer `body` as streamGenerateContent sends it: "stream-thoughts:K" thought images
  // first (default 2), then each part of the answer in an event of its own, then an event with
  // the finish reason and the usage. Every event is a whole GenerateContentResponse.
  static EventStream gemini_events(const Scenario& s, const json& body, std::uint64_t seed,
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

  void images(const httplib::Request& req, httplib::Response& res, bool edits) {
    ++served;
    note_peer(req);
    // Every answer of the images API names its request, as the public one does.
    res.set_header("x-request-id", "req_" + request_id());
    if (!authorised(Api::kImages, req, res)) return;
    auto s = scenario_for(req, res);
    if (!s) return;
    images_answer(req, res, *s, edits);
  }

  void images_answer(const httplib::Request& req, httplib::Response& res, const Scenario& scenario,
                     bool edits) {
    const std::optional<Scenario> s = scenario;
    const auto checked = edits ? check_edits_request(req) : check_generations_request(req.body);
    const auto catalogue = zantrel::config::model_catalogue();
    const ModelLineup lineup(*catalogue, scenario, host::utc_day());
    const auto model = checked.fields.find("model");
    const host::ModelInfo* served = model == checked.fields.end()
                                        ? nullptr
                                        : lineup.served(host::Service::kImages, model->second);
    if (auto refusal = direct() ? check_images_fields(checked.fields, served) : std::nullopt) {
      send_json(res, refusal->status, refusal->body);
      return;
    }
    if (!checked.error.empty()) {
      send_json(res, 400, images_error_body(checked.error, "invalid_request_error"));
      return;
    }
    wait_before_answering(*s);
    if (answer_shared_fault(Api::kImages, *s, req, res)) return;

    const std::uint64_t seed = seed_from(checked.prompt);
    json item;
    if (s->fault == Fault::kFinish || s->fault == Fault::kNoImage) {
      deliver(*s, res,
              json{{"created", std::time(nullptr)},
                   {"data", json::array()},
                   {"usage", images_usage(checked)}}
                  .dump());
      return;
    }
    if (checked.stream) {
      send_event_stream(res, images_events(*s, checked, seed, edits), *s);
      return;
    }
    // One picture per image asked, each from its own seed.
    json data = json::array();
    for (int i = 0; i < checked.n; ++i) {
      const std::uint64_t picture = seed + static_cast<std::uint64_t>(i);
      if (const auto id = link_id(*s, picture, checked.width, checked.height)) {
        item = {{"url", base_url() + "/files/" + *id}};
      } else if (checked.response_format == "url" && s->fault != Fault::kDataLink) {
        item = {{"url", base_url() + "/files/" + file_id(picture, checked.width, checked.height)}};
      } else if (s->fault == Fault::kBadBase64) {
        item = {{"b64_json", "!!!not base64!!!Q"}};
      } else {
        const std::string encoded =
            picture_data(*s, picture, checked.width, checked.height, style_of(checked));
        item = s->fault == Fault::kDataLink
                   ? json{{"url", "data:image/" + checked.output_format + ";base64," + encoded}}
                   : json{{"b64_json", encoded}};
      }
      data.push_back(std::move(item));
    }
    json body = {{"created", std::time(nullptr)},
                 {"data", std::move(data)},
                 {"background", checked.background == "transparent" ? "transparent" : "opaque"},
                 {"output_format", checked.output_format},
                 {"quality", answered_quality(checked)},
                 {"size", std::to_string(checked.width) + "x" + std::to_string(checked.height)},
                 {"usage", images_usage(checked)}};
    deliver(*s, res, body.dump());
  }

  // A streamed answer as the images API sends it: `partial_images` events, then one completed
  // event per image with the usage, each event one "data:" line numbered by its
  // "sequence_number", then "[DONE]".
  static EventStream images_events(const Scenario& s, const CheckedRequest& checked,
                                   std::uint64_t seed, bool edits) {
    const std::string kind = edits ? "image_edit" : "image_generation";
    const PictureStyle style = style_of(checked);
    json facts = {{"created_at", std::time(nullptr)},
                  {"size", std::to_string(checked.width) + "x" + std::to_string(checked.height)},
                  {"quality", answered_quality(checked)},
                  {"background", checked.background == "transparent" ? "transparent" : "opaque"},
                  {"output_format", checked.output_format}};
    int sequence = 0;
    const auto event = [&](const std::string& type, json data) {
      data.update(facts);
      data["sequence_number"] = sequence++;
      return sse_event(type, data.dump());
    };
    EventStream stream;
    const int partials = s.fault == Fault::kStreamFinalOnly ? 0 : checked.partial_images;
    for (int k = 0; k < partials; ++k) {
      // Each partial its own picture, so that a reader can tell them apart.
      const auto partial = render_picture(seed + 1000 + static_cast<std::uint64_t>(k),
                                          checked.width, checked.height, style);
      stream.events.push_back(
          event(kind + ".partial_image", {{"type", kind + ".partial_image"},
                                          {"b64_json", host::base64_encode(partial)},
                                          {"partial_image_index", k}}));
    }
    stream.final_event = stream.events.size();
    // One picture per image asked, each from its own seed, as unstreamed.
    for (int i = 0; i < std::max(checked.n, 1); ++i) {
      const std::uint64_t picture = seed + static_cast<std::uint64_t>(i);
      stream.events.push_back(
          event(kind + ".completed",
                {{"type", kind + ".completed"},
                 {"b64_json", s.fault == Fault::kBadBase64
                                  ? std::string("!!!not base64!!!Q")
                                  : picture_data(s, picture, checked.width, checked.height, style)},
                 {"usage", images_usage(checked)}}));
    }
    stream.done = "data: [DONE]\n\n";
    stream.error =
        sse_event("error", json{{"type", "error"},
                                {"error",
                                 {{"type", "server_error"},
                                  {"code", "server_error"},
                                  {"message", "The server had an error processing your request."},
                                  {"param", nullptr}}}}
                               .dump());
    return stream;
  }

  // One request of a batch, answered as the endpoint answers it.
  InnerAnswer answer_inner(const std::string& path, const std::string& body, const Scenario& s) {
    httplib::Request req;
    req.method = "POST";
    req.path = path;
    req.body = body;
    req.set_header("Content-Type", "application/json");
    httplib::Response res;
    constexpr std::string_view kModels = "/v1beta/models/";
    constexpr std::string_view kMethod = ":generateContent";
    if (path.starts_with(kModels) && path.ends_with(kMethod)) {
      const std::string model =
          path.substr(kModels.size(), path.size() - kModels.size() - kMethod.size());
      gemini_answer(req, res, s, model, "generateContent");
    } else {
      res.set_header("x-request-id", "req_" + request_id());
      images_answer(req, res, s, path == "/v1/images/edits");
    }
    return {res.status == -1 ? 200 : res.status, res.body, res.get_header_value("x-request-id")};
  }

  void file(const httplib::Request& req, httplib::Response& res) {
    note_peer(req);
    unsigned long long seed = 0;
    int width = 0, height = 0;
    std::string id = req.matches[1];
    if (id == "redirect-scheme") {
      res.set_redirect("ftp://127.0.0.1/picture.png", 302);
      return;
    }
    const bool halfway = id.starts_with("halfway-");
    if (halfway) id.erase(0, 8);
    // "silent-MS-...": the headers, then nothing for MS milliseconds, then the picture.
    long silence_ms = 0;
    if (id.starts_with("silent-")) {
      const auto dash = id.find('-', 7);
      silence_ms = std::strtol(id.c_str() + 7, nullptr, 10);
      id.erase(0, dash == std::string::npos ? id.size() : dash + 1);
    }
    if (std::sscanf(id.c_str(), "%16llx-%dx%d.png", &seed, &width, &height) != 3) {
      send_json(res, 404, gemini_error_body(404, "no such file", "NOT_FOUND"));
      return;
    }
    const host::Bytes png = render_png(seed, width, height);
    if (halfway || silence_ms > 0) {
      stream_body(res, std::string(host::as_text(png)), halfway ? 8 : 1,
                  std::chrono::milliseconds(silence_ms), halfway, 0, "image/png");
      return;
    }
    res.set_content(std::string(host::as_text(png)), "image/png");
  }

  // Both batch engines and the images API's files; each takes its service's key.
  void install_batch_routes() {
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    const auto guarded = [this](Api api, const Handler& handler) {
      return [this, api, handler](const httplib::Request& req, httplib::Response& res) {
        note_peer(req);
        if (authorised(api, req, res)) handler(req, res);
      };
    };
    server->Post(R"(/v1beta/models/([^/:]+):batchGenerateContent)",
                 guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                   if (auto s = scenario_for(req, res))
                     batches.gemini_create(req.matches[1], req, res, *s);
                 }));
    server->Get("/v1beta/batches",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  batches.gemini_list(req, res);
                }));
    server->Get(R"(/v1beta/batches/([^/:]+))",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  batches.gemini_get(req.matches[1], res);
                }));
    server->Post(R"(/v1beta/batches/([^/:]+):cancel)",
                 guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                   batches.gemini_cancel(req.matches[1], res);
                 }));
    server->Get(R"(/download/v1beta/files/([^/:]+):download)",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  batches.gemini_download(req.matches[1], res);
                }));
    server->Post("/v1/files",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   batches.images_upload(req, res);
                 }));
    server->Get(R"(/v1/files/([^/]+)/content)",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  batches.images_file_content(req.matches[1], res);
                }));
    server->Post("/v1/batches",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   if (auto s = scenario_for(req, res)) batches.images_create(req, res, *s);
                 }));
    server->Get("/v1/batches",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  batches.images_list(req, res);
                }));
    server->Get(R"(/v1/batches/([^/]+))",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  batches.images_get(req.matches[1], res);
                }));
    server->Post(R"(/v1/batches/([^/]+)/cancel)",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   batches.images_cancel(req.matches[1], res);
                 }));
  }

  // Both services' model lists, as the day's lineup has them. Gemini's is paged; its default
  // page is smaller than the service's 50, so that a client meets the pages.
  void install_model_lists() {
    using Lister = std::function<json(const ModelLineup&, const httplib::Request&)>;
    const auto listed = [this](Api api, const Lister& list) {
      return [this, api, list](const httplib::Request& req, httplib::Response& res) {
        note_peer(req);
        if (!authorised(api, req, res)) return;
        const auto s = scenario_for(req, res);
        if (!s || answer_shared_fault(api, *s, req, res)) return;
        const auto catalogue = zantrel::config::model_catalogue();
        send_json(res, 200, list(ModelLineup(*catalogue, *s, host::utc_day()), req));
      };
    };
    server->Get("/v1beta/models",
                listed(Api::kGemini, [](const ModelLineup& lineup, const httplib::Request& req) {
                  const long size =
                      req.has_param("pageSize")
                          ? std::strtol(req.get_param_value("pageSize").c_str(), nullptr, 10)
                          : 4;
                  return lineup.gemini_page(static_cast<int>(size > 0 ? size : 4),
                                            req.get_param_value("pageToken"));
                }));
    server->Get("/v1/models",
                listed(Api::kImages, [](const ModelLineup& lineup, const httplib::Request&) {
                  return lineup.images_list();
                }));
  }

  void install_routes() {
    server->set_tcp_nodelay(true);
    // Like the real services, keep a connection for many requests (cpp-httplib closes after 5).
    server->set_keep_alive_max_count(100000);
    // cpp-httplib gives up on a peer after 5 s without progress; a client on a loaded machine
    // (sanitizer runs) may read a large body slower than that, which would cut it short.
    server->set_read_timeout(60, 0);
    server->set_write_timeout(60, 0);
    const int threads = options.threads;
    // cpp-httplib takes ownership of the queue it is handed.
    server->new_task_queue = [threads] {
      return new httplib::ThreadPool(
          static_cast<std::size_t>(threads));  // NOLINT(cppcoreguidelines-owning-memory)
    };
    server->set_payload_max_length(std::size_t{512} << 20);
    server->Post(R"(/v1beta/models/([^/:]+):(generateContent|streamGenerateContent))",
                 [this](const httplib::Request& req, httplib::Response& res) { gemini(req, res); });
    server->Post(
        "/v1/images/generations",
        [this](const httplib::Request& req, httplib::Response& res) { images(req, res, false); });
    server->Post("/v1/images/edits", [this](const httplib::Request& req, httplib::Response& res) {
      images(req, res, true);
    });
    server->Post("/upload/v1beta/files",
                 [this](const httplib::Request& req, httplib::Response& res) {
                   note_peer(req);
                   // Starting an upload takes the key; the session's address is its own authority.
                   if (!req.has_param("upload_id") && !authorised(Api::kGemini, req, res)) return;
                   if (auto s = scenario_for(req, res)) files.upload(req, res, *s, base_url());
                 });
    server->Get(R"(/v1beta/files/([^/]+))",
                [this](const httplib::Request& req, httplib::Response& res) {
                  note_peer(req);
                  if (authorised(Api::kGemini, req, res))
                    files.get(req.matches[1], res, base_url());
                });
    install_batch_routes();
    install_model_lists();
    server->Get("/emulator/stats", [this](const httplib::Request&, httplib::Response& res) {
      send_json(res, 200,
                {{"requests", served.load()},
                 {"file_uploads", files.uploads()},
                 {"file_bytes", files.bytes_uploaded()},
                 {"batch_creates", batches.creates()}});
    });
    server->Get(R"(/files/([^/]+))",
                [this](const httplib::Request& req, httplib::Response& res) { file(req, res); });
    server->Put("/emulator/scenario", [this](const httplib::Request& req, httplib::Response& res) {
      auto chosen = Scenario::parse(req.body);
      if (!chosen) {
        send_json(res, 400,
                  gemini_error_body(400, "unknown scenario: " + req.body, "INVALID_ARGUMENT"));
        return;
      }
      std::lock_guard lock(mutex);
      scenario = *chosen;
      res.status = 204;
    });
    server->Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("zantrel-emulator\n", "text/plain");
    });
    server->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, const std::exception_ptr& failure) {
          std::string what = "internal failure";
          try {
            std::rethrow_exception(failure);
          } catch (const std::exception& e) {
            what = e.what();
          } catch (...) {
          }
          send_json(res, 500, gemini_error_body(500, what, "INTERNAL"));
        });
  }
};

Emulator::Emulator(EmulatorOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  state_->scenario = state_->options.scenario;
  state_->random.seed(state_->options.seed);
  if (state_->options.tls_cert_file.empty()) {
    state_->server = std::make_unique<httplib::Server>();
  } else {
    auto tls = std::make_unique<httplib::SSLServer>(state_->options.tls_cert_file.c_str(),
                                                    state_->options.tls_key_file.c_str());
    if (!tls->is_valid()) {
      throw std::runtime_error("cannot use the TLS certificate " + state_->options.tls_cert_file +
                               " with its key");
    }
    state_->server = std::move(tls);
  }
  state_->install_routes();
}

Emulator::~Emulator() { stop(); }

int Emulator::bind() {
  // Loopback only, always.
  state_->port =
      state_->options.port == 0
          ? state_->server->bind_to_any_port("127.0.0.1")
          : (state_->server->bind_to_port("127.0.0.1", state_->options.port) ? state_->options.port
                                                                             : -1);
  if (state_->port <= 0)
    throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(state_->options.port));
  widen_listen_backlog(state_->port);
  return state_->port;
}

void Emulator::listen() { state_->server->listen_after_bind(); }

void Emulator::start() {
  bind();
  state_->thread = std::thread([this] { listen(); });
  for (int i = 0; i < 1000 && !state_->server->is_running(); ++i) std::this_thread::sleep_for(2ms);
  if (!state_->server->is_running()) throw std::runtime_error("emulator did not start");
}

void Emulator::stop() {
  state_->server->stop();
  if (state_->thread.joinable()) state_->thread.join();
}

int Emulator::port() const { return state_->port; }
std::string Emulator::base_url() const { return state_->base_url(); }

std::size_t Emulator::connections() const {
  std::lock_guard lock(state_->mutex);
  return state_->peers.size();
}

std::uint64_t Emulator::requests() const { return state_->served.load(); }
std::uint64_t Emulator::file_uploads() const { return state_->files.uploads(); }
std::uint64_t Emulator::file_bytes_uploaded() const { return state_->files.bytes_uploaded(); }
std::uint64_t Emulator::batch_creates() const { return state_->batches.creates(); }

void Emulator::set_scenario(const Scenario& scenario) {
  std::lock_guard lock(state_->mutex);
  state_->scenario = scenario;
}

}  // namespace zantrel::emulator
