#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace httplib {
struct Response;
}  // namespace httplib

namespace zantrel::emulator {

// Each service's error body, written here once for every route that answers with one.

// Gemini: {"error": {"code", "message", "status"}} (google.rpc.Status).
nlohmann::ordered_json gemini_error_body(int code, const std::string& message, const char* status);

// The images API: {"error": {"message", "type", "param", "code"}}; null param and code when
// not given.
nlohmann::ordered_json images_error_body(const std::string& message,
                                         const char* type = "invalid_request_error",
                                         const nlohmann::ordered_json& param = nullptr,
                                         const nlohmann::ordered_json& code = nullptr);

// Each body sent with its status.
void send_gemini_error(httplib::Response& res, int code, const std::string& message,
                       const char* status);
void send_images_error(httplib::Response& res, int code, const std::string& message);

}  // namespace zantrel::emulator
