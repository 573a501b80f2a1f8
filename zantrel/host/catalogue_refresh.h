#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zantrel/host/base/dialect.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::host {

// Where a refresh asks one service for its models: the service's root address as the CLI's
// --base-url takes it ("https://generativelanguage.googleapis.com", "https://api.openai.com")
// and the key its calls use.
struct ListingSource {
  Service service = Service::kGemini;
  std::string base_url;
  std::string api_key;
  Dialect dialect = Dialect::kDirect;  // how the key is sent, as for the service's calls
};

// The image models `source` lists today: Gemini GET /v1beta/models, every page, the models with
// the generateContent method whose name or display name says image (or Nano Banana); the images
// API GET /v1/models, the ids of the gpt-image and chatgpt-image families. Throws host::Error
// for a failed exchange and std::runtime_error naming the status and the service's message for
// a refusal or a list it can't read.
ServiceListing fetch_listing(HttpClient& http, const ListingSource& source,
                             const std::string& day = utc_day());

// $XDG_CACHE_HOME/zantrel/catalogue.json, else $HOME/.cache/zantrel/catalogue.json.
std::string catalogue_cache_path();

// What a refresh left in the user's cache: the day, the lists read and what they changed.
struct CachedRefresh {
  std::string refreshed_on;
  std::vector<ServiceListing> listings;
  std::vector<std::string> changes;
};

// The cache at `path`; nothing when there is none. Throws std::runtime_error naming the file and
// the fault when it can't be read.
std::optional<CachedRefresh> read_catalogue_cache(const std::string& path);

struct RefreshOutcome {
  // The catalogue with the lists merged in; when a source failed, the one refreshed before.
  std::shared_ptr<const ModelCatalogue> catalogue;
  std::vector<std::string> changes;   // against the catalogue refreshed before
  std::vector<std::string> failures;  // "gemini: ..." per source that failed: nothing was saved
  bool saved = false;
};

// Asks each source for its list and, when every one answered, merges them into the built-in
// table (a service not asked keeps what the cache said of it) and replaces the cache at
// `cache_path` whole. A source that fails keeps the cache as it was; the outcome says why.
RefreshOutcome refresh_model_catalogue(HttpClient& http, std::span<const ListingSource> sources,
                                       const std::string& cache_path = catalogue_cache_path());

// The built-in table with the cache's lists merged in.
std::shared_ptr<const ModelCatalogue> cached_catalogue(const CachedRefresh& cache);

}  // namespace zantrel::host

namespace zantrel::config {

// Opts the process in to the user's refreshed catalogue: the built-in table with the lists the
// cache holds merged in becomes the process's catalogue. Nothing when done (or when there is no
// cache); why not when the cache can't be read, the built-in table staying.
std::optional<std::string> use_cached_model_catalogue(
    const std::string& path = host::catalogue_cache_path());

}  // namespace zantrel::config
