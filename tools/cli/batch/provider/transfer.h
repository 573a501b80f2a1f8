#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "tools/cli/batch/provider/api.h"
#include "tools/cli/core/call_setup.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::cli {

// The exchanges of the provider batch APIs, on a run's HTTP client, each ended by its stop
// token: a post of JSON text or a form, a GET, and a download into a file.
host::HttpResponse post_json(const CallSetup& setup, const std::string& url,
                             const host::Headers& headers, std::string_view body);
host::HttpResponse post_form(const CallSetup& setup, const std::string& url,
                             const host::Headers& headers, const host::Form& form);
host::HttpResponse get(const CallSetup& setup, const std::string& url,
                       const host::Headers& headers);
// Writes the 200 body of `url` into `path` as it arrives (never held whole); a cut or a failed
// exchange is tried again from the start, 3 times in all. Throws the last failure, or the
// service's refusal.
void download(const CallSetup& setup, const std::string& url, const host::Headers& headers,
              const std::filesystem::path& path);

// "HTTP 400: the service's message" of an answer that is not a 2xx.
std::string refusal_text(const host::HttpResponse& response);

// Each line of a JSON-lines file, padded for the JSON reader: the view's data is followed by
// `kLinePadding` readable bytes. Blank lines are skipped.
inline constexpr std::size_t kLinePadding = 64;
void each_padded_line(const std::filesystem::path& path,
                      const std::function<void(std::string_view)>& each);
// Each line of a results file read into its answer by `read`, then handed to `each`. A line
// `read` can't make sense of (it throws) is named on stderr and skipped: its image stays
// unanswered, and the lines after it are read.
void each_answer_line(const std::filesystem::path& path,
                      const std::function<BatchAnswer(std::string_view)>& read,
                      const std::function<void(const BatchAnswer&)>& each);

}  // namespace zantrel::cli
