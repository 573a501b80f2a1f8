// The catalogue decides by the day of the call and never blocks a name in the direct dialect;
// a refresh merges the services' lists into it.
#include <gtest/gtest.h>

#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::host {
namespace {

ModelInfo model(std::string name, std::optional<std::string> shutdown = {},
                std::string replacement = {}) {
  ModelInfo info;
  info.name = std::move(name);
  info.shutdown_on = std::move(shutdown);
  info.replacement = std::move(replacement);
  return info;
}

ModelCatalogue dated() {
  std::vector<ModelInfo> models = {model("new"), model("old", "2027-01-15", "new"),
                                   model("older", "2026-06-01", "old")};
  models.push_back(model("restricted"));
  models.back().note = "restricted is served only to some projects";
  return ModelCatalogue(std::move(models), "", "2026-12-10");
}

TEST(ModelCatalogue, ChoosesByTheDayOfTheCallAndSendsUnknownNamesUnchecked) {
  const ModelCatalogue catalogue = dated();
  const struct {
    const char* name;
    Dialect dialect;
    const char* day;
    const char* sent;
    bool checked;
    const char* note;     // nullptr: none
    const char* warning;  // nullptr: none
  } rows[] = {
      {"new", Dialect::kDirect, "2026-12-11", "new", true, nullptr, nullptr},
      // Before its day: sent as asked, with a warning; from it, the replacement.
      {"old", Dialect::kDirect, "2027-01-14", "old", true, nullptr,
       "old is shut down on 2027-01-15; use new"},
      {"old", Dialect::kDirect, "2027-01-15", "new", true,
       "old was retired on 2027-01-15; sent as new", nullptr},
      // A replacement shut down in its turn is followed, as far as the day takes it.
      {"older", Dialect::kDirect, "2026-12-11", "old", true,
       "older was retired on 2026-06-01; sent as old", nullptr},
      {"older", Dialect::kDirect, "2027-02-01", "new", true,
       "older was retired on 2026-06-01; sent as new", nullptr},
      // A gateway routes names as given; the caller still hears of the shutdown.
      {"older", Dialect::kGateway, "2026-12-11", "older", true, nullptr,
       "older was shut down on 2026-06-01; use old"},
      {"restricted", Dialect::kDirect, "2026-12-11", "restricted", true, nullptr,
       "restricted is served only to some projects"},
      {"brand-new", Dialect::kDirect, "2026-12-11", "brand-new", false,
       "not in the catalogue of 2026-12-10; sent unchecked", nullptr},
  };
  for (const auto& row : rows) {
    const std::string where = std::string(row.name) + " on " + row.day;
    const ModelChoice choice = catalogue.choose(row.name, Service::kGemini, row.dialect, row.day);
    EXPECT_EQ(choice.sent, row.sent) << where;
    EXPECT_EQ(choice.checked != nullptr, row.checked) << where;
    if (choice.checked) {
      EXPECT_EQ(choice.checked->name, row.sent) << where;
    }
    EXPECT_EQ(choice.note, row.note ? std::optional<std::string>(row.note) : std::nullopt) << where;
    EXPECT_EQ(choice.warning, row.warning ? std::optional<std::string>(row.warning) : std::nullopt)
        << where;
  }
  EXPECT_TRUE(
      catalogue.choose("brand-new", Service::kGemini, Dialect::kGateway, "2026-12-11").unknown);
  EXPECT_EQ(catalogue.choose("new", Service::kImages, Dialect::kDirect, "2026-12-11").checked,
            nullptr)
      << "a name of the other service is not this one's";
}

TEST(ModelCatalogue, ARefreshAddsListedModelsMarksUnlistedOnesAndSaysWhatChanged) {
  const ModelCatalogue catalogue = dated();
  const ServiceListing first[] = {
      {Service::kGemini, "2026-12-11", {"new", "launch", "restricted"}}};
  const CatalogueRefresh refreshed = catalogue.refresh(first);
  EXPECT_EQ(refreshed.changes,
            (std::vector<std::string>{
                "old: not listed on 2026-12-11",
                "launch: listed by the service on 2026-12-11, capabilities unknown; added"}));
  const ModelCatalogue& merged = *refreshed.catalogue;
  const ModelChoice launch = merged.choose("launch", Service::kGemini, Dialect::kDirect, "x");
  EXPECT_EQ(launch.sent, "launch");
  EXPECT_EQ(launch.checked, nullptr);
  EXPECT_EQ(launch.note,
            "listed by the service on 2026-12-11, capabilities unknown; sent unchecked");
  EXPECT_EQ(merged.choose("launch", Service::kGemini, Dialect::kGateway, "x").unknown, false)
      << "a listed model is in the host's list";
  // A current model the list leaves out warns (its shutdown ahead says more, and wins).
  EXPECT_EQ(merged.find("old")->unlisted_on, "2026-12-11");
  // The next list replaces the first: the launch is gone, old is back.
  const ServiceListing second[] = {{Service::kGemini, "2026-12-12", {"new", "old"}}};
  const CatalogueRefresh again = merged.refresh(second);
  EXPECT_EQ(again.changes,
            (std::vector<std::string>{
                "old: listed again on 2026-12-12", "restricted: not listed on 2026-12-12",
                "launch: no longer listed by the service on 2026-12-12; dropped"}));
  EXPECT_EQ(again.catalogue->find("launch"), nullptr);
  EXPECT_EQ(again.catalogue->choose("restricted", Service::kGemini, Dialect::kDirect, "x").warning,
            "restricted was not listed by the service on 2026-12-12");
  // The entries a refresh made survive the JSON form.
  EXPECT_EQ(ModelCatalogue::from_json(merged.to_json()).to_json(), merged.to_json());
}

}  // namespace
}  // namespace zantrel::host
