#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include <vector>

#include "zantrel/host/http/http_client.h"
#include "zantrel/host/models/model_catalogue.h"

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

// The process-wide model catalogue, read by the clients at each call. Defaults to
// `ModelCatalogue::builtin()`; thread-safe. Meant to be set once at start-up from the host's
// configuration (nullptr restores the library's own); calls already running keep the one they
// started with.
std::shared_ptr<const host::ModelCatalogue> model_catalogue();
void set_model_catalogue(std::shared_ptr<const host::ModelCatalogue> catalogue);

// The host's lists of Gemini ratios and models, as views of the catalogue: every ratio some
// Gemini model takes, and every Gemini model (retired ones included: a gateway may still route
// them).
class CatalogueView {
 public:
  enum class Kind { kRatios, kModels };
  constexpr explicit CatalogueView(Kind kind) : kind_(kind) {}
  std::vector<std::string> list() const;
  bool contains(std::string_view value) const;

 private:
  Kind kind_;
};

inline constexpr CatalogueView SUPPORTED_RATIOS{CatalogueView::Kind::kRatios};
inline constexpr CatalogueView SUPPORTED_MODELS{CatalogueView::Kind::kModels};

bool is_supported_ratio(std::string_view ratio);
bool is_supported_model(std::string_view model);

}  // namespace zantrel::config
