// The key blanked wherever a service could echo it, and nothing else touched.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/log/secret_filter.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::host::internal {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kKey = "sk-0123456789";

TEST(SecretFilter, BlanksTheKeyAndLeavesAllElseAsItWas) {
  const struct {
    const char* name;
    json value;
    json blanked;
  } cases[] = {
      {"no key: untouched, order kept",
       {{"type", "invalid_request_error"}, {"code", nullptr}, {"param", "size"}},
       {{"type", "invalid_request_error"}, {"code", nullptr}, {"param", "size"}}},
      {"in a text, twice",
       {{"message", std::string("bad key ") + kKey + " (" + kKey + ")"}, {"n", 1}},
       {{"message", "bad key [key] ([key])"}, {"n", 1}}},
      {"in a member's name and a nested list",
       {{std::string("k-") + kKey, {1, std::string("x") + kKey}}, {"z", true}},
       {{"k-[key]", {1, "x[key]"}}, {"z", true}}},
  };
  for (const auto& c : cases) {
    json value = c.value;
    EXPECT_EQ(blank_secret(value, kKey), c.value != c.blanked) << c.name;
    EXPECT_EQ(value.dump(), c.blanked.dump()) << c.name;
  }
  // A key too short to look for blanks nothing.
  std::string text = "k is a letter";
  EXPECT_FALSE(blank_secret(text, "k"));

  const ServiceResult refused = without_secret(
      ServiceResult::fail(ErrorCode::IMAGE_GENERATE_FAIL, std::string("no: ") + kKey), kKey);
  EXPECT_EQ(refused.msg(), "no: [key]");
  EXPECT_EQ(refused.code(), ErrorCode::IMAGE_GENERATE_FAIL);
  const ServiceResult link =
      without_secret(ServiceResult::success(std::string("https://x/?key=") + kKey), kKey);
  EXPECT_EQ(*link.link(), "https://x/?key=[key]");

  CallReport report;
  report.request_id = std::string("req_") + kKey;
  report.service_error = {{"status", "INVALID_ARGUMENT"}};
  blank_secret(report, kKey);
  EXPECT_EQ(report.request_id, "req_[key]");
  EXPECT_EQ(report.service_error, json({{"status", "INVALID_ARGUMENT"}}));

  auto records = std::make_shared<testkit::CapturingLogger>();
  const auto logger = secret_blanking_logger(records, kKey);
  logger->debug({{"msg", "TAG error"}, {"text", kKey}});
  logger->debug({{"msg", "TAG request"}});
  ASSERT_EQ(records->records().size(), 2u);
  EXPECT_EQ(records->records()[0]["text"], "[key]");
  EXPECT_EQ(records->records()[1], json({{"msg", "TAG request"}}));
}

}  // namespace
}  // namespace zantrel::host::internal
