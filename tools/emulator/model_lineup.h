#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/emulator/scenario.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::emulator {

// The models the emulator serves on a day, as the public endpoints would: every catalogued
// model not yet shut down, or, under the "new-models" scenario, that lineup changed as a launch
// changes it (a model the built-in catalogue lacks served and listed, one it has left out).
class ModelLineup {
 public:
  // `catalogue` must outlive the lineup.
  ModelLineup(const host::ModelCatalogue& catalogue, const Scenario& scenario, std::string day);

  // The model of `service` named `name` when served, else nullptr; a launch the catalogue lacks
  // gives an entry of unknown capabilities (nothing asked of its requests).
  const host::ModelInfo* served(host::Service service, std::string_view name) const;

  // GET /v1beta/models: one page of the models (image and text ones), from `page_token`.
  nlohmann::json gemini_page(int page_size, const std::string& page_token) const;
  // GET /v1/models: the whole list.
  nlohmann::json images_list() const;

  // What "new-models" adds and leaves out, for tests that check a refresh.
  static const std::vector<std::string>& launched();
  static const std::vector<std::string>& withdrawn();

 private:
  std::vector<const host::ModelInfo*> models(host::Service service) const;

  const host::ModelCatalogue& catalogue_;
  bool changed_;
  std::string day_;
};

}  // namespace zantrel::emulator
