// The requests and call options as Python builds them: by keyword, each keyword read here once,
// its default the library's own. Every client entry then takes (request, options).
#include <pybind11/stl.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bindings/python/bridge.h"
#include "bindings/python/call_results.h"
#include "bindings/python/module_parts.h"
#include "zantrel/image/corvane/image_request.h"
#include "zantrel/image/tavelin/generation_request.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::python {
namespace {

// Reads keyword arguments by name; None reads as the default. A keyword left unread is refused
// as Python refuses an unknown one.
class Keywords {
 public:
  Keywords(const py::kwargs& given, const char* what) : given_(given), what_(what) {}

  template <class T>
  T take(const char* name, T fallback) {
    read_.insert(name);
    if (!given_.contains(name)) return fallback;
    const py::object value = given_[name];
    return value.is_none() ? fallback : value.cast<T>();
  }
  // A value as it is (references and masks: str, bytes or a list of them).
  py::object take_object(const char* name) {
    read_.insert(name);
    return given_.contains(name) ? py::object(given_[name]) : py::object(py::none());
  }
  void refuse_unread() const {
    for (const auto& [key, value] : given_) {
      const auto name = key.cast<std::string>();
      if (!read_.contains(name)) {
        throw py::type_error(what_ + " got an unexpected keyword argument '" + name + "'");
      }
    }
  }

 private:
  const py::kwargs& given_;
  std::string what_;
  std::set<std::string> read_;
};

template <class T>
using Maybe = std::optional<T>;

// `extra`: a JSON object as text (the Python layer dumps and checks it).
std::optional<nlohmann::ordered_json> extra_of(Keywords& keywords) {
  const auto text = keywords.take<std::string>("extra", "");
  if (text.empty()) return std::nullopt;
  return nlohmann::ordered_json::parse(text);
}

image::tavelin::GenerationRequest generation_request(const py::kwargs& given) {
  namespace tavelin = image::tavelin;
  Keywords keywords(given, "GenerationRequest()");
  tavelin::GenerationRequest request;
  request.prompt = keywords.take<std::string>("prompt", "");
  request.aspect_ratio = keywords.take<std::string>("aspect_ratio", tavelin::kDefaultAspectRatio);
  request.image_size = keywords.take<std::string>("image_size", tavelin::kDefaultImageSize);
  request.files = files_of(keywords.take_object("files"));
  request.model = keywords.take<std::string>("model", tavelin::kDefaultModel);
  request.seed = keywords.take<Maybe<std::int64_t>>("seed", std::nullopt);
  request.temperature = keywords.take<Maybe<double>>("temperature", std::nullopt);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  for (auto& [category, threshold] : keywords.take<Pairs>("safety", {})) {
    request.safety_settings.push_back({std::move(category), std::move(threshold)});
  }
  request.thinking_level = keywords.take<Maybe<std::string>>("thinking_level", std::nullopt);
  request.with_text = keywords.take<bool>("text", false);
  request.upload_references = keywords.take<bool>("upload_references", false);
  if (auto extra = extra_of(keywords)) request.extra = std::move(*extra);
  keywords.refuse_unread();
  return request;
}

image::corvane::ImageRequest image_request(const py::kwargs& given) {
  namespace corvane = image::corvane;
  Keywords keywords(given, "ImageRequest()");
  corvane::ImageRequest request;
  request.prompt = keywords.take<std::string>("prompt", "");
  request.aspect_ratio = keywords.take<std::string>("aspect_ratio", "");
  request.quality = keywords.take<std::string>("quality", "");
  request.image_size = keywords.take<std::string>("image_size", "");
  request.files = files_of(keywords.take_object("files"));
  request.model = keywords.take<std::string>("model", corvane::kDefaultModel);
  request.n = keywords.take<int>("n", 1);
  request.output_format = keywords.take<Maybe<std::string>>("output_format", std::nullopt);
  request.output_compression = keywords.take<Maybe<int>>("output_compression", std::nullopt);
  request.background = keywords.take<Maybe<std::string>>("background", std::nullopt);
  request.moderation = keywords.take<Maybe<std::string>>("moderation", std::nullopt);
  request.complexity = keywords.take<Maybe<std::string>>("complexity", std::nullopt);
  request.input_fidelity = keywords.take<Maybe<std::string>>("input_fidelity", std::nullopt);
  request.mask = files_of(keywords.take_object("mask"));
  request.user = keywords.take<Maybe<std::string>>("user", std::nullopt);
  request.safety_identifier = keywords.take<Maybe<std::string>>("safety_identifier", std::nullopt);
  request.partial_images = keywords.take<Maybe<int>>("partial_images", std::nullopt);
  if (auto extra = extra_of(keywords)) request.extra = std::move(*extra);
  keywords.refuse_unread();
  return request;
}

PyCallOptions call_options_of(const py::kwargs& given) {
  Keywords keywords(given, "CallOptions()");
  PyCallOptions out;
  out.options.task_id = from_python(keywords.take_object("task_id"));
  out.options.model_key = from_python(keywords.take_object("model_key"));
  out.options.timeout = timeout_of(keywords.take_object("timeout"));
  out.options.stream = keywords.take<bool>("stream", false);
  out.options.on_progress = observer_of(keywords.take_object("on_progress"));
  out.options.background = keywords.take<bool>("background", false);
  const std::string api = keywords.take<std::string>("api", "");
  if (api == "interactions") {
    out.options.api = host::GeminiApi::interactions;
  } else if (api == "responses") {
    out.options.api = host::ImagesApi::responses;
  } else if (!api.empty()) {
    throw py::value_error("api must be \"interactions\", \"responses\" or None, not \"" + api +
                          "\"");
  }
  if (const double first = keywords.take<double>("poll_seconds", 0); first > 0) {
    out.options.polling.first = host::millis_of_seconds(first);
  }
  keywords.refuse_unread();
  return out;
}

}  // namespace

void init_requests(py::module_& m) {
  // The library's defaults, for the Python layer's signatures.
  m.attr("DEFAULT_GEMINI_MODEL") = image::tavelin::kDefaultModel;
  m.attr("DEFAULT_GEMINI_ASPECT_RATIO") = image::tavelin::kDefaultAspectRatio;
  m.attr("DEFAULT_GEMINI_IMAGE_SIZE") = image::tavelin::kDefaultImageSize;
  m.attr("DEFAULT_GEMINI_INLINE_BATCH_BYTES") = image::tavelin::TavelinaClient::kInlineBatchBytes;
  m.attr("DEFAULT_IMAGES_MODEL") = image::corvane::kDefaultModel;

  py::class_<image::tavelin::GenerationRequest>(m, "GenerationRequest")
      .def(py::init(&generation_request))
      .def_readonly("prompt", &image::tavelin::GenerationRequest::prompt)
      .def_readonly("aspect_ratio", &image::tavelin::GenerationRequest::aspect_ratio)
      .def_readonly("image_size", &image::tavelin::GenerationRequest::image_size)
      .def_readonly("model", &image::tavelin::GenerationRequest::model);
  py::class_<image::corvane::ImageRequest>(m, "ImageRequest")
      .def(py::init(&image_request))
      .def_readonly("prompt", &image::corvane::ImageRequest::prompt)
      .def_readonly("aspect_ratio", &image::corvane::ImageRequest::aspect_ratio)
      .def_readonly("quality", &image::corvane::ImageRequest::quality)
      .def_readonly("image_size", &image::corvane::ImageRequest::image_size)
      .def_readonly("model", &image::corvane::ImageRequest::model)
      .def_readonly("n", &image::corvane::ImageRequest::n);
  py::class_<PyCallOptions>(m, "CallOptions").def(py::init(&call_options_of));
}

}  // namespace zantrel::python
