#include "zantrel/image/corvane/internal/edit_form.h"

#include <algorithm>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/images/image_mime.h"

namespace zantrel::image::corvane::internal {
namespace {

const std::string kImageArrayName = "image[]";

}  // namespace

host::Form build_edit_form(const nlohmann::ordered_json& payload, const ImageParts& files,
                           bool repeated_as_array) {
  host::Form form;
  form.fields.reserve(payload.size());
  for (const auto& member : payload.items()) {
    const auto& value = member.value();
    form.fields.push_back(
        {member.key(),
         value.is_string()
             ? value.get<std::string>()
             : value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)});
  }
  form.files.reserve(files.size());
  const bool as_array =
      repeated_as_array && std::count_if(files.begin(), files.end(),
                                         [](const auto& f) { return f.first == "image"; }) > 1;
  std::size_t index = 0;
  for (const auto& [given_name, content] : files) {
    const std::string& name = as_array && given_name == "image" ? kImageArrayName : given_name;
    const auto mime = host::sniff_image_mime(content);
    form.files.push_back(
        {name, "image-" + std::to_string(++index) + "." + std::string(host::image_extension(mime)),
         std::string(mime.value_or("application/octet-stream")), content});
  }
  return form;
}

nlohmann::ordered_json edit_json_body(nlohmann::ordered_json payload, const ImageParts& files) {
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (const auto& [name, content] : files) {
    const std::string mime(host::sniff_image_mime(content).value_or("application/octet-stream"));
    nlohmann::ordered_json part = nlohmann::ordered_json::object();
    part["image_url"] = "data:" + mime + ";base64," + host::base64_encode(content);
    if (name == "mask") {
      payload["mask"] = std::move(part);
    } else {
      images.push_back(std::move(part));
    }
  }
  payload["images"] = std::move(images);
  return payload;
}

}  // namespace zantrel::image::corvane::internal
