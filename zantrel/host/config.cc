#include "zantrel/host/config.h"

#include <algorithm>
#include <mutex>

#include "zantrel/host/http/curl_http_client.h"

namespace zantrel::config {
namespace {

// The shared client: a documented piece of process-wide state, guarded by its mutex.
struct SharedClient {
  std::mutex mutex;
  std::shared_ptr<host::HttpClient> client;
};

SharedClient& shared() {
  static SharedClient instance;
  return instance;
}

// The shared catalogue: documented process-wide state like the client.
struct SharedCatalogue {
  std::mutex mutex;
  std::shared_ptr<const host::ModelCatalogue> catalogue;
};

SharedCatalogue& shared_catalogue() {
  static SharedCatalogue instance;
  return instance;
}

}  // namespace

std::shared_ptr<host::HttpClient> http_client() {
  SharedClient& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.client) s.client = std::make_shared<host::CurlHttpClient>();
  return s.client;
}

void set_http_client(std::shared_ptr<host::HttpClient> client) {
  SharedClient& s = shared();
  std::lock_guard lock(s.mutex);
  s.client = std::move(client);
}

std::shared_ptr<host::HttpClient> http_client_or_shared(std::shared_ptr<host::HttpClient> own) {
  return own ? std::move(own) : http_client();
}

std::shared_ptr<const host::ModelCatalogue> model_catalogue() {
  SharedCatalogue& s = shared_catalogue();
  std::lock_guard lock(s.mutex);
  if (!s.catalogue) {
    // The built-in table lives for the whole process; this pointer only refers to it.
    s.catalogue = std::shared_ptr<const host::ModelCatalogue>(
        std::shared_ptr<const host::ModelCatalogue>(), &host::ModelCatalogue::builtin());
  }
  return s.catalogue;
}

void set_model_catalogue(std::shared_ptr<const host::ModelCatalogue> catalogue) {
  SharedCatalogue& s = shared_catalogue();
  std::lock_guard lock(s.mutex);
  s.catalogue = std::move(catalogue);
}

std::vector<std::string> CatalogueView::list() const {
  const auto catalogue = model_catalogue();
  return kind_ == Kind::kRatios ? catalogue->ratios(host::Service::kGemini)
                                : catalogue->names(host::Service::kGemini);
}

bool CatalogueView::contains(std::string_view value) const {
  // Asked at every call: read the catalogue in place rather than building the list.
  const auto catalogue = model_catalogue();
  if (kind_ == Kind::kModels) return catalogue->find(value, host::Service::kGemini) != nullptr;
  const auto& models = catalogue->models();
  return std::any_of(models.begin(), models.end(), [value](const host::ModelInfo& model) {
    return model.service == host::Service::kGemini && model.takes_ratio(value);
  });
}

bool is_supported_ratio(std::string_view ratio) { return SUPPORTED_RATIOS.contains(ratio); }

bool is_supported_model(std::string_view model) { return SUPPORTED_MODELS.contains(model); }

}  // namespace zantrel::config
