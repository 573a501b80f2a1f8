#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "zantrel/host/http/http_client.h"

// Host configuration shared by both clients.
namespace zantrel::config {

// The process-wide HTTP client, looked up by the clients at each call. Defaults to the libcurl
// client; thread-safe.
std::shared_ptr<host::HttpClient> http_client();

// Replaces the process-wide HTTP client (nullptr restores the default). Calls already running
// keep the client they started with.
void set_http_client(std::shared_ptr<host::HttpClient> client);

// `own` when a client was given one of its own, else the process-wide instance.
std::shared_ptr<host::HttpClient> http_client_or_shared(std::shared_ptr<host::HttpClient> own);

using AspectRatio = std::string;
using GeminiModel = std::string;

inline constexpr std::array<std::string_view, 10> SUPPORTED_RATIOS = {
    "1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"};

inline constexpr std::array<std::string_view, 3> SUPPORTED_MODELS = {
    "gemini-3-pro-image-preview", "gemini-3.1-flash-image-preview", "gemini-2.5-flash-image"};

bool is_supported_ratio(std::string_view ratio) noexcept;
bool is_supported_model(std::string_view model) noexcept;

}  // namespace zantrel::config
