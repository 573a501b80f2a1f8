// The public entry: ratio check, reference loading and containment of every failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_data.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;
using host::Reference;
using json = nlohmann::ordered_json;

class Start : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zantrel-start-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write_file(const std::string& name, const host::Bytes& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return path.string();
  }

  // The parts that reached the service, as (mimeType, decoded size) is overkill: the data texts.
  std::vector<std::string> sent_images() const {
    const auto requests = http->requests();
    std::vector<std::string> images;
    for (const auto& request : requests) {
      if (request.method != "POST") continue;
      const json body = json::parse(*request.json_text);
      const auto& parts = body["contents"][0]["parts"];
      for (std::size_t i = 1; i < parts.size(); ++i)
        images.push_back(parts[i]["inlineData"]["data"]);
    }
    return images;
  }

  std::filesystem::path dir_;
  std::shared_ptr<testkit::ScriptedHttpClient> http =
      std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  std::shared_ptr<testkit::CapturingLogger> logger = std::make_shared<testkit::CapturingLogger>();
  image::tavelin::TavelinaClient client{"http://g", "key", {"TAVELIN", logger}};
};

TEST_F(Start, PromptAloneUsesTheDefaults) {
  http->queue_post(testkit::Reply::json(200, "{}"));
  const auto result = client.start("a fox");
  EXPECT_EQ(result.code(), ErrorCode::NO_IMAGE_RESULT);
  const auto requests = http->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url, "http://g/v1beta/models/gemini-3-pro-image-preview:generateContent");
  EXPECT_EQ(json::parse(*requests[0].json_text), client._build_body_data("a fox"));
  EXPECT_EQ(logger->records().front()["img_count"], 0);
}

TEST_F(Start, UnsupportedRatioIsRefusedBeforeAnyFetch) {
  const auto result = client.start("p", "7:3", "1K", std::string("https://x/ref.png"));
  EXPECT_EQ(result.code(), ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(result.message(), "Invalid aspect_ratio: 7:3");
  EXPECT_TRUE(http->requests().empty());
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(Start, UnsupportedModelIsRefusedAfterTheReferencesAreLoaded) {
  http->on_get("https://x/1", testkit::Reply::json(200, "one"));
  http->on_get("https://x/2", testkit::Reply::json(200, "two"));
  const auto result = client.start(
      "p", "1:1", "1K",
      std::vector<Reference>{std::string("https://x/1"), std::string("https://x/2")}, "imagen-x");
  EXPECT_EQ(result.code(), ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(result.message(), "Invalid model: imagen-x");
  const auto requests = http->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, "https://x/1");
  EXPECT_EQ(requests[1].url, "https://x/2");
}

TEST_F(Start, EmptyReferenceInputsSendNoImage) {
  const host::Files empties[] = {host::Files{}, std::vector<Reference>{}, std::string(),
                                 host::Bytes{}, std::vector<Reference>{std::string("")}};
  for (const auto& files : empties) {
    http->queue_post(testkit::Reply::json(200, "{}"));
    (void)client.start("p", "2:3", "1K", files);
  }
  for (const auto& record : logger->records()) {
    if (record["msg"] == "TAVELIN request api") {
      EXPECT_EQ(record["img_count"], 0);
    }
  }
  EXPECT_TRUE(sent_images().empty());
}

TEST_F(Start, AnEmptyByteStringInAListIsKept) {
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.start("p", "2:3", "1K", std::vector<Reference>{host::Bytes{}});
  EXPECT_EQ(sent_images(), std::vector<std::string>{""});
}

TEST_F(Start, MixedReferencesKeepTheirOrder) {
  const std::string path = write_file("third.png", png_bytes("3"));
  http->on_get("https://x/second", testkit::Reply::json(200, "second"));
  http->on_get("https://x/missing", testkit::Reply::json(404, "nope"));
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.start("p", "2:3", "1K",
                     std::vector<Reference>{jpeg_bytes("1"), std::string("https://x/second"),
                                            std::string("https://x/missing"), path,
                                            std::string("HTTPS://x/upper-case-is-a-path"),
                                            std::string("/no/such/file")});
  EXPECT_EQ(sent_images(),
            (std::vector<std::string>{b64(host::as_text(jpeg_bytes("1"))), b64("second"),
                                      b64(host::as_text(png_bytes("3")))}));
}

TEST_F(Start, SingleTextAndSingleBytes) {
  const std::string path = write_file("one.png", png_bytes("only"));
  http->queue_post(testkit::Reply::json(200, "{}"));
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.start("p", "2:3", "1K", path);
  (void)client.start("p", "2:3", "1K", jpeg_bytes("raw"));
  EXPECT_EQ(sent_images(), (std::vector<std::string>{b64(host::as_text(png_bytes("only"))),
                                                     b64(host::as_text(jpeg_bytes("raw")))}));
}

struct Contained {
  const char* name;
  std::function<host::Files(Start&)> files;
  std::function<void(testkit::ScriptedHttpClient&)> script;
  const char* kind;
};

TEST_F(Start, FailuresBecomeOneWarningAndServiceBusy) {
  const Contained cases[] = {
      {"directory", [](Start& s) { return host::Files(s.dir_.string()); },
       [](testkit::ScriptedHttpClient&) {}, "FileReadError"},
      {"failing fetch",
       [](Start&) {
         return host::Files(std::vector<Reference>{host::Bytes{1}, std::string("https://x/f")});
       },
       [](testkit::ScriptedHttpClient& h) {
         h.on_get("https://x/f", testkit::Reply::raise<host::ConnectionError>());
       },
       "ConnectionError"},
  };
  for (const auto& c : cases) {
    logger->clear();
    c.script(*http);
    host::CallOptions options;
    options.task_id = 42;
    const auto result =
        client.start("p", "2:3", "1K", c.files(*this), "gemini-3-pro-image-preview", options);
    EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY) << c.name;
    EXPECT_FALSE(result.msg().has_value()) << c.name;
    const auto records = normalised(logger->records());
    ASSERT_EQ(records.size(), 1u) << c.name;
    json expected = {{"msg", std::string("TAVELIN ") + c.kind + " warning"},
                     {"task_id", 42},
                     {"model_key", nullptr},
                     {"error", records[0]["error"]},
                     {"traceback", "<tb>"}};
    EXPECT_EQ(records[0], expected) << c.name;
    EXPECT_EQ(records[0]["error"].get<std::string>().rfind(std::string(c.kind) + ": ", 0), 0u)
        << c.name;
  }
}

TEST_F(Start, OptionsReachTheCall) {
  http->queue_post(testkit::Reply::raise<host::ReadTimeout>());
  host::CallOptions options;
  options.task_id = "task-9";
  options.timeout = host::Timeout::from_seconds(2, 5);
  const auto result = client.start("p", "2:3", "1K", {}, "gemini-3-pro-image-preview", options);
  EXPECT_EQ(result.code(), ErrorCode::SERVICE_TIMEOUT);
  EXPECT_EQ(http->requests().at(0).timeout, host::Timeout::from_seconds(2, 5));
  EXPECT_EQ(logger->records().back(),
            (json{{"msg", "任务处理超时"}, {"task_id", "task-9"}, {"model_key", nullptr}}));
}

TEST_F(Start, AFailureOutsideTheCallsOwnGuardIsContained) {
  // A host whose HTTP client lookup itself fails: the entry still returns a result.
  class BrokenClient final : public host::HttpClient {
    host::HttpResponse post(const std::string&, const host::PostRequest&) override { return {}; }
    host::HttpResponse get(const std::string&, const host::GetRequest&) override { return {}; }
    host::Timeout base_timeout() const override { throw std::runtime_error("no base time-out"); }
  };
  testkit::ScopedHttpClient broken(std::make_shared<BrokenClient>());
  const auto result = client.start("p");
  EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY);
  ASSERT_EQ(logger->records().size(), 1u);
  EXPECT_EQ(logger->records()[0]["msg"], "TAVELIN runtime_error warning");
}

}  // namespace
}  // namespace zantrel::test_support
