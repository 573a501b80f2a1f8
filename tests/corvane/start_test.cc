// The images client's entry: reference loading into "image" parts and containment.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_data.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;
using host::Reference;
using image::corvane::CorvaneClient;
using image::corvane::ImageCallOptions;
using json = nlohmann::ordered_json;

class ImagesStart : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("zantrel-istart-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Names and contents of the parts of the last post; nothing for a generations request.
  std::vector<std::pair<std::string, std::string>> sent_parts() const {
    const auto request = http->requests().back();
    std::vector<std::pair<std::string, std::string>> parts;
    if (!request.form) return parts;
    for (std::size_t i = 0; i < request.form->files.size(); ++i) {
      parts.emplace_back(request.form->files[i].name, request.file_contents[i]);
    }
    return parts;
  }

  std::filesystem::path dir_;
  std::shared_ptr<testkit::ScriptedHttpClient> http =
      std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  std::shared_ptr<testkit::CapturingLogger> logger = std::make_shared<testkit::CapturingLogger>();
  CorvaneClient client{"http://i", "tok", {"GPT-IMAGE-2", logger}};
};

TEST_F(ImagesStart, PromptAloneGoesToGenerationsWithEmptySettings) {
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.start("a boat");
  const auto request = http->requests().at(0);
  EXPECT_EQ(request.url, "http://i/v1/images/generations");
  EXPECT_EQ(
      request.json_text,
      R"({"model":"gpt-image-2","prompt":"a boat","response_format":"b64_json","size":"","quality":"","n":1})");
}

TEST_F(ImagesStart, EmptyInputsSendNoParts) {
  const host::Files empties[] = {host::Files{}, std::vector<Reference>{}, std::string(),
                                 host::Bytes{}};
  for (const auto& files : empties) {
    http->queue_post(testkit::Reply::json(200, "{}"));
    (void)client.start("p", "", "", "", files);
    EXPECT_EQ(http->requests().back().url, "http://i/v1/images/generations");
  }
}

TEST_F(ImagesStart, ReferencesBecomeImagePartsInOrder) {
  const auto path = (dir_ / "third.png").string();
  std::ofstream(path, std::ios::binary) << "third";
  http->on_get("https://x/2", testkit::Reply::json(200, "second"));
  http->on_get("https://x/none", testkit::Reply::json(500, ""));
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.start("p", "", "", "",
                     std::vector<Reference>{host::to_bytes("first"), std::string("https://x/2"),
                                            std::string("https://x/none"), path,
                                            std::string("Https://x/not-a-link")});
  EXPECT_EQ(sent_parts(), (std::vector<std::pair<std::string, std::string>>{
                              {"image", "first"}, {"image", "second"}, {"image", "third"}}));
  // Only the top-level value is tested for emptiness.
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.start("p", "", "", "", std::vector<Reference>{host::Bytes{}});
  EXPECT_EQ(sent_parts(), (std::vector<std::pair<std::string, std::string>>{{"image", ""}}));
}

TEST_F(ImagesStart, OptionsPassThroughUntouched) {
  http->queue_post(testkit::Reply::raise<host::ReadTimeout>());
  ImageCallOptions options;
  options.task_id = "t-5";
  options.model = "gpt-image-1.5";
  options.response_format = "url";
  options.timeout = host::Timeout::from_seconds(1, 2);
  const auto result = client.start("p", "", "", "", {}, options);
  EXPECT_EQ(result.code(), ErrorCode::SERVICE_TIMEOUT);
  const auto request = http->requests().at(0);
  EXPECT_EQ(request.timeout, host::Timeout::from_seconds(1, 2));
  EXPECT_EQ(json::parse(*request.json_text)["model"], "gpt-image-1.5");
  EXPECT_EQ(json::parse(*request.json_text)["response_format"], "url");
  EXPECT_EQ(logger->records().back(),
            (json{{"msg", "任务处理超时"}, {"task_id", "t-5"}, {"model_key", nullptr}}));
}

TEST_F(ImagesStart, LoadingFailuresBecomeOneWarningAndServiceBusy) {
  http->on_get("https://x/broken", testkit::Reply::raise<host::ConnectionError>());
  const struct {
    host::Files files;
    const char* kind;
  } cases[] = {
      {host::Files(dir_.string()), "FileReadError"},
      {host::Files(std::vector<Reference>{host::to_bytes("a"), std::string("https://x/broken")}),
       "ConnectionError"}};
  for (const auto& c : cases) {
    logger->clear();
    ImageCallOptions options;
    options.task_id = "t";
    const auto result = client.start("p", "", "", "", c.files, options);
    EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY);
    EXPECT_FALSE(result.msg().has_value());
    const auto records = normalised(logger->records());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["msg"], std::string("GPT-IMAGE-2 ") + c.kind + " warning");
    std::vector<std::string> keys;
    for (const auto& item : records[0].items()) keys.push_back(item.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"msg", "task_id", "model_key", "error", "traceback"}));
    EXPECT_EQ(records[0]["task_id"], "t");
    EXPECT_EQ(records[0]["model_key"], nullptr);
  }
  const auto requests = http->requests();
  EXPECT_TRUE(std::none_of(requests.begin(), requests.end(),
                           [](const auto& r) { return r.method == "POST"; }));
}

}  // namespace
}  // namespace zantrel::test_support
