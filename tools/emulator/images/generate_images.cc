#include "tools/emulator/images/generate_images.h"

#include <httplib.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/emulator/event_stream.h"
#include "tools/emulator/faults.h"
#include "tools/emulator/images/checks.h"
#include "tools/emulator/images/dialect_checks.h"
#include "tools/emulator/model_lineup.h"
#include "tools/emulator/picture_answers.h"
#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

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

// A streamed answer as the images API sends it: `partial_images` events, then one completed
// event per image with the usage, each event one "data:" line numbered by its
// "sequence_number", then "[DONE]".
EventStream images_events(const Scenario& s, const CheckedRequest& checked, std::uint64_t seed,
                          bool edits) {
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
    const auto partial = render_picture(seed + 1000 + static_cast<std::uint64_t>(k), checked.width,
                                        checked.height, style);
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

}  // namespace

void answer_images(const AnswerContext& context, const httplib::Request& req,
                   httplib::Response& res, const Scenario& scenario, bool edits) {
  const std::optional<Scenario> s = scenario;
  const auto checked = edits ? check_edits_request(req) : check_generations_request(req.body);
  const auto catalogue = zantrel::config::model_catalogue();
  const ModelLineup lineup(*catalogue, scenario, host::utc_day());
  const auto model = checked.fields.find("model");
  const host::ModelInfo* served = model == checked.fields.end()
                                      ? nullptr
                                      : lineup.served(host::Service::kImages, model->second);
  if (auto refusal = context.direct ? check_images_fields(checked.fields, served) : std::nullopt) {
    send_json(res, refusal->status, refusal->body);
    return;
  }
  if (!checked.error.empty()) {
    send_json(res, 400, images_error_body(checked.error, "invalid_request_error"));
    return;
  }
  if (wait_before_answering(*s, context, req, res)) return;
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
      item = {{"url", context.base_url + "/files/" + *id}};
    } else if (checked.response_format == "url" && s->fault != Fault::kDataLink) {
      item = {
          {"url", context.base_url + "/files/" + file_id(picture, checked.width, checked.height)}};
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

}  // namespace zantrel::emulator
