#include "zantrel/host/catalogue_refresh.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "zantrel/host/config.h"
#include "zantrel/host/files/new_file.h"

namespace zantrel::host {
namespace {

using json = nlohmann::json;

// A list is small; a minute without a byte means the service is not answering.
constexpr Timeout kListTimeout{std::chrono::seconds(10), std::chrono::seconds(60)};
// Pages read at most: a service that keeps handing out tokens is not listing models.
constexpr int kMaxPages = 100;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// `text` with every occurrence of the key blanked: a service may echo what it was sent.
std::string without_key(std::string text, const std::string& key) {
  if (key.empty()) return text;
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
    text.replace(at, key.size(), "[key]");
  }
  return text;
}

// The service's own words for a refusal: error.message when the body has one.
std::string refusal_text(const HttpResponse& response, const std::string& key) {
  std::string message;
  const json body = json::parse(response.text(), nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_object()) {
    message = body["error"].value("message", "");
  }
  if (message.empty()) message = std::string(response.text().substr(0, 200));
  return without_key("HTTP " + std::to_string(response.status_code) +
                         (message.empty() ? std::string() : ": " + message),
                     key);
}

json answer_of(HttpClient& http, const std::string& url, const ListingSource& source) {
  GetRequest request;
  const bool gemini_key = source.service == Service::kGemini && source.dialect == Dialect::kDirect;
  request.headers = {gemini_key ? Headers::value_type{"x-goog-api-key", source.api_key}
                                : Headers::value_type{"Authorization", "Bearer " + source.api_key}};
  request.timeout = kListTimeout;
  request.max_redirects = 0;  // the key goes to the address asked, nowhere else
  const HttpResponse response = http.get(url, request);
  if (response.status_code != 200) throw std::runtime_error(refusal_text(response, source.api_key));
  json body = json::parse(response.text(), nullptr, false);
  if (!body.is_object()) throw std::runtime_error("the model list is not a JSON object");
  return body;
}

bool gemini_image_model(const json& model) {
  const auto methods = model.find("supportedGenerationMethods");
  if (methods == model.end() || !methods->is_array() ||
      std::find(methods->begin(), methods->end(), "generateContent") == methods->end()) {
    return false;
  }
  const std::string named = lower(model.value("name", "") + " " + model.value("displayName", ""));
  return named.find("image") != std::string::npos ||
         named.find("nano banana") != std::string::npos ||
         named.find("nano-banana") != std::string::npos;
}

std::vector<std::string> gemini_models(HttpClient& http, const ListingSource& source) {
  std::vector<std::string> out;
  std::string token;
  for (int page = 0; page < kMaxPages; ++page) {
    std::string url = source.base_url + "/v1beta/models";
    if (!token.empty()) url += "?pageToken=" + token;
    const json body = answer_of(http, url, source);
    const auto models = body.find("models");
    if (models != body.end() && !models->is_array()) {
      throw std::runtime_error("\"models\" is not a list");
    }
    for (const json& model : models != body.end() ? *models : json::array()) {
      if (!model.is_object() || !gemini_image_model(model)) continue;
      std::string name = model.value("name", "");
      if (name.starts_with("models/")) name.erase(0, 7);
      if (!name.empty()) out.push_back(std::move(name));
    }
    const std::string next = body.value("nextPageToken", "");
    // A token is passed on in the address: only the characters a token is made of.
    if (std::any_of(next.begin(), next.end(), [](unsigned char c) {
          return !std::isalnum(c) && c != '-' && c != '_' && c != '.' && c != '~';
        })) {
      throw std::runtime_error("the next page's token is not one the service writes");
    }
    if (next.empty()) return out;
    if (next == token) throw std::runtime_error("the service handed out the same page token twice");
    token = next;
  }
  throw std::runtime_error("the model list runs past " + std::to_string(kMaxPages) + " pages");
}

std::vector<std::string> images_models(HttpClient& http, const ListingSource& source) {
  const json body = answer_of(http, source.base_url + "/v1/models", source);
  const auto data = body.find("data");
  if (data == body.end() || !data->is_array()) throw std::runtime_error("\"data\" is not a list");
  std::vector<std::string> out;
  for (const json& model : *data) {
    if (!model.is_object()) continue;
    const std::string id = model.value("id", "");
    if (id.starts_with("gpt-image") || id.starts_with("chatgpt-image")) out.push_back(id);
  }
  return out;
}

json listing_to_json(const ServiceListing& listing) {
  return {
      {"service", to_string(listing.service)}, {"day", listing.day}, {"models", listing.models}};
}

ServiceListing listing_from_json(const json& value) {
  if (!value.is_object() || !value.contains("models") || !value["models"].is_array()) {
    throw std::runtime_error("a listing needs \"service\", \"day\" and \"models\"");
  }
  ServiceListing listing;
  const std::string service = value.value("service", "");
  if (service != "gemini" && service != "images") {
    throw std::runtime_error("a listing's \"service\" must be gemini or images");
  }
  listing.service = service == "gemini" ? Service::kGemini : Service::kImages;
  listing.day = value.value("day", "");
  for (const json& name : value["models"]) {
    if (!name.is_string()) throw std::runtime_error("a listing's models must be texts");
    listing.models.push_back(name.get<std::string>());
  }
  return listing;
}

}  // namespace

ServiceListing fetch_listing(HttpClient& http, const ListingSource& source,
                             const std::string& day) {
  ServiceListing listing;
  listing.service = source.service;
  listing.day = day;
  listing.models = source.service == Service::kGemini ? gemini_models(http, source)
                                                      : images_models(http, source);
  return listing;
}

std::string catalogue_cache_path() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && *cache == '/') return std::string(cache) + "/zantrel/catalogue.json";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.cache/zantrel/catalogue.json";
}

std::optional<CachedRefresh> read_catalogue_cache(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    if (std::error_code ignored; !std::filesystem::exists(path, ignored)) return std::nullopt;
    throw std::runtime_error("cannot read the catalogue cache " + path);
  }
  const json document = json::parse(file, nullptr, false);
  try {
    if (!document.is_object() || !document.contains("listings") ||
        !document["listings"].is_array()) {
      throw std::runtime_error("expected {\"refreshed_on\", \"listings\": [...]}");
    }
    CachedRefresh cache;
    cache.refreshed_on = document.value("refreshed_on", "");
    for (const json& listing : document["listings"]) {
      cache.listings.push_back(listing_from_json(listing));
    }
    if (document.contains("changes") && document["changes"].is_array()) {
      for (const json& change : document["changes"]) {
        if (change.is_string()) cache.changes.push_back(change.get<std::string>());
      }
    }
    return cache;
  } catch (const std::exception& error) {
    throw std::runtime_error("the catalogue cache " + path + " is unreadable: " + error.what());
  }
}

std::shared_ptr<const ModelCatalogue> cached_catalogue(const CachedRefresh& cache) {
  return ModelCatalogue::builtin().refresh(cache.listings).catalogue;
}

RefreshOutcome refresh_model_catalogue(HttpClient& http, std::span<const ListingSource> sources,
                                       const std::string& cache_path) {
  RefreshOutcome outcome;
  std::optional<CachedRefresh> before;
  std::optional<std::string> unreadable;
  try {
    before = read_catalogue_cache(cache_path);
  } catch (const std::exception& error) {
    // A cache that can't be read says nothing; a refresh that succeeds replaces it.
    unreadable = error.what();
  }
  CachedRefresh after = before.value_or(CachedRefresh{});
  const std::shared_ptr<const ModelCatalogue> previous =
      before ? cached_catalogue(*before)
             : std::shared_ptr<const ModelCatalogue>(std::shared_ptr<void>(),
                                                     &ModelCatalogue::builtin());
  outcome.catalogue = previous;
  std::vector<ServiceListing> fresh;
  const std::string day = utc_day();
  for (const ListingSource& source : sources) {
    try {
      fresh.push_back(fetch_listing(http, source, day));
    } catch (const std::exception& error) {
      outcome.failures.push_back(std::string(to_string(source.service)) + ": " +
                                 without_key(error.what(), source.api_key));
    }
  }
  if (!outcome.failures.empty() || fresh.empty()) return outcome;
  // Each service asked replaces what the cache held of it; the others keep theirs.
  for (ServiceListing& listing : fresh) {
    std::erase_if(after.listings,
                  [&](const ServiceListing& held) { return held.service == listing.service; });
    after.listings.push_back(listing);
  }
  CatalogueRefresh merged = previous->refresh(fresh);
  after.refreshed_on = day;
  after.changes = merged.changes;
  json document{{"refreshed_on", after.refreshed_on},
                {"catalogue_as_of", ModelCatalogue::builtin().as_of()},
                {"listings", json::array()},
                {"changes", after.changes}};
  for (const ServiceListing& listing : after.listings) {
    document["listings"].push_back(listing_to_json(listing));
  }
  const std::string text = document.dump(2) + "\n";
  try {
    std::filesystem::create_directories(std::filesystem::path(cache_path).parent_path());
    host::replace_file(cache_path, {as_bytes(text)}, false);
  } catch (const std::exception& error) {
    outcome.failures.push_back("cache " + cache_path + ": " + error.what());
    return outcome;
  }
  outcome.catalogue = cached_catalogue(after);
  outcome.changes = std::move(merged.changes);
  if (unreadable) outcome.changes.insert(outcome.changes.begin(), *unreadable + "; replaced");
  outcome.saved = true;
  return outcome;
}

}  // namespace zantrel::host

namespace zantrel::config {

std::optional<std::string> use_cached_model_catalogue(const std::string& path) {
  try {
    const auto cache = host::read_catalogue_cache(path);
    if (cache) set_model_catalogue(host::cached_catalogue(*cache));
    return std::nullopt;
  } catch (const std::exception& error) {
    return std::string(error.what());
  }
}

}  // namespace zantrel::config
