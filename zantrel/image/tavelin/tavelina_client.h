#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/bytes.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/config.h"
#include "zantrel/host/dialect.h"
#include "zantrel/host/log/logger.h"
#include "zantrel/host/references.h"
#include "zantrel/host/service_result.h"

namespace zantrel::host::internal {
class ReportBuilder;
}

namespace zantrel::image::tavelin {

// Defaults of a call's parameters and of the client's options.
inline constexpr char kDefaultModel[] = "gemini-3-pro-image-preview";
inline constexpr char kDefaultAspectRatio[] = "2:3";
inline constexpr char kDefaultImageSize[] = "1K";
inline constexpr char kDefaultModelTag[] = "TAVELIN";

struct TavelinaOptions {
  std::string model_tag = kDefaultModelTag;
  // Default: the logger named "zantrel.image.tavelin".
  std::shared_ptr<host::Logger> logger{};
  // This client's own HTTP stack (a proxy, a CA bundle, ...). Default: the process-wide
  // `config::http_client()`, looked up at each call.
  std::shared_ptr<host::HttpClient> http_client{};
  // kDirect for the public endpoint; kGateway (today's form) for a gateway in front of it.
  host::Dialect dialect = host::Dialect::kGateway;
};

// Client for the Gemini generateContent image API. One call = one request = one ServiceResult;
// nothing is retried. The object is read-only after construction and may be shared by threads.
class TavelinaClient {
 public:
  using Options = TavelinaOptions;

  TavelinaClient(std::string base_url, std::string api_key, Options options = {});

  // MIME type from the image's leading bytes: png, jpeg, gif or webp; "image/jpeg" otherwise.
  static std::string _detect_mime_type(host::ByteView image_bytes);
  // {"inlineData": {"mimeType": mime_type, "data": base64 of the bytes}}.
  static nlohmann::ordered_json _bytes_to_part(host::ByteView image_bytes,
                                               std::string_view mime_type = "image/jpeg");
  // The text part, then one inline-data part per image, in order.
  nlohmann::ordered_json _build_parts(const std::vector<host::Bytes>& image_bytes_list,
                                      const std::string& prompt) const;
  // The request body as an ordered map (without "response_format" in the direct dialect). The
  // bytes actually posted are written directly by the request writer and equal its JSON text.
  nlohmann::ordered_json _build_body_data(
      const std::string& prompt,
      const std::optional<std::vector<host::Bytes>>& image_bytes_list = std::nullopt,
      const std::optional<std::string>& aspect_ratio = kDefaultAspectRatio,
      const std::optional<std::string>& image_size = kDefaultImageSize) const;
  // The file links of a decoded response body, in document order, and its "responseId".
  static std::pair<std::vector<std::string>, std::optional<std::string>> _extract_file_uris(
      const nlohmann::ordered_json& data_dict);

  // One generateContent request; every failure of the exchange becomes a result.
  host::ServiceResult generate_image(
      const std::string& prompt,
      const std::optional<std::vector<host::Bytes>>& image_bytes_list = std::nullopt,
      const config::AspectRatio& aspect_ratio = kDefaultAspectRatio,
      const std::optional<std::string>& image_size = kDefaultImageSize,
      const config::GeminiModel& model = kDefaultModel,
      const host::CallOptions& options = {}) const;

  // Public entry: checks the ratio, loads the references (links, paths, bytes), generates.
  // Never throws: a failure becomes one debug record and SERVICE_BUSY.
  host::ServiceResult start(const std::string& prompt,
                            const config::AspectRatio& aspect_ratio = kDefaultAspectRatio,
                            const std::string& image_size = kDefaultImageSize,
                            const host::Files& files = {},
                            const config::GeminiModel& model = kDefaultModel,
                            const host::CallOptions& options = {}) const;

  const std::string& base_url() const noexcept { return base_url_; }
  const std::string& api_key() const noexcept { return api_key_; }
  const std::string& model_tag() const noexcept { return model_tag_; }
  const std::shared_ptr<host::Logger>& logger() const noexcept { return logger_; }
  host::Dialect dialect() const noexcept { return dialect_; }
  // The HTTP stack of the next call: the client's own, else the shared one.
  std::shared_ptr<host::HttpClient> http_client() const;

 private:
  // generate_image with the report of the call it belongs to (start's, or its own).
  host::ServiceResult generate(const std::string& prompt,
                               const std::optional<std::vector<host::Bytes>>& image_bytes_list,
                               const config::AspectRatio& aspect_ratio,
                               const std::optional<std::string>& image_size,
                               const config::GeminiModel& model, const host::CallOptions& options,
                               host::internal::ReportBuilder& report) const;

  std::string base_url_;
  std::string api_key_;
  std::string model_tag_;
  std::shared_ptr<host::Logger> logger_;
  std::shared_ptr<host::HttpClient> http_client_;
  host::Dialect dialect_;
};

}  // namespace zantrel::image::tavelin
