#include "tools/emulator/wire_errors.h"

#include "tools/emulator/faults.h"

namespace zantrel::emulator {

nlohmann::ordered_json gemini_error_body(int code, const std::string& message, const char* status) {
  return {{"error", {{"code", code}, {"message", message}, {"status", status}}}};
}

nlohmann::ordered_json images_error_body(const std::string& message, const char* type,
                                         const nlohmann::ordered_json& param,
                                         const nlohmann::ordered_json& code) {
  return {{"error", {{"message", message}, {"type", type}, {"param", param}, {"code", code}}}};
}

void send_gemini_error(httplib::Response& res, int code, const std::string& message,
                       const char* status) {
  send_json(res, code, gemini_error_body(code, message, status));
}

void send_images_error(httplib::Response& res, int code, const std::string& message) {
  send_json(res, code, images_error_body(message));
}

}  // namespace zantrel::emulator
