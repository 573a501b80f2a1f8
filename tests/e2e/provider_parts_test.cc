// The parts of provider batches one at a time: the emulator's batch APIs refusing what the
// services refuse, the readers of results lines (a line that can't be read skipped, the others
// read), the record file kept across runs, and the emulator's batch plans.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/cli/batch/provider/plan.h"
#include "tools/cli/batch/provider/records.h"
#include "tools/emulator/batch_plan.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel {
namespace {

using json = nlohmann::ordered_json;

std::filesystem::path scratch_dir() {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("zantrel-provider-parts-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(ProviderParts, TheBatchApisRefuseWhatTheServicesRefuse) {
  emulator::Emulator emulator;
  emulator.start();
  const std::string base = emulator.base_url();
  host::CurlHttpClient http;
  const host::Headers key = {{"Authorization", "Bearer k"}};
  const auto post = [&](const std::string& path, const std::string& body) {
    host::PostRequest request;
    request.headers = key;
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = host::JsonBody::of(body);
    return http.post(base + path, request);
  };
  // An images batch file of these lines; gives its id.
  const auto upload = [&](const std::string& lines) {
    host::PostRequest request;
    request.headers = key;
    request.body = host::Form{{{"purpose", "batch"}},
                              {{"file", "in.jsonl", "application/jsonl", host::as_bytes(lines)}}};
    const auto answer = http.post(base + "/v1/files", request);
    EXPECT_EQ(answer.status_code, 200) << answer.text();
    return json::parse(answer.text()).value("id", "");
  };
  const std::string line =
      R"({"custom_id":"a","method":"POST","url":"/v1/images/generations","body":{"prompt":"p"}})";
  const std::string good = upload(line + "\n");
  const std::string wrong_url =
      upload(R"({"custom_id":"a","method":"POST","url":"/v1/images/edits","body":{"prompt":"p"}})");
  const std::string twice = upload(line + "\n" + line + "\n");
  const auto images_batch = [&](const std::string& file, const std::string& endpoint,
                                const std::string& window) {
    return json{{"input_file_id", file}, {"endpoint", endpoint}, {"completion_window", window}}
        .dump();
  };
  const std::string gemini = "/v1beta/models/gemini-3-pro-image:batchGenerateContent";
  const struct {
    const char* what;
    std::string path;
    std::string body;
    int status;
    const char* says;
  } rows[] = {
      {"Gemini without an input", gemini, R"({"batch":{"displayName":"x"}})", 400,
       "batch.inputConfig is required."},
      {"Gemini naming no kept file", gemini,
       R"({"batch":{"inputConfig":{"fileName":"files/nope"}}})", 400,
       "Input file files/nope was not found."},
      {"Gemini without requests", gemini,
       R"({"batch":{"input_config":{"requests":{"requests":[]}}}})", 400,
       "The batch has no requests."},
      {"Gemini, a request without its request", gemini,
       R"({"batch":{"inputConfig":{"requests":{"requests":[{"metadata":{}}]}}}})", 400,
       "Each inlined request needs a request."},
      {"images, an endpoint batches don't take", "/v1/batches",
       images_batch(good, "/v1/chat/completions", "24h"), 400, "Unsupported endpoint"},
      {"images, another window", "/v1/batches", images_batch(good, "/v1/images/generations", "1h"),
       400, "'completion_window' must be '24h'."},
      {"images, no such file", "/v1/batches",
       images_batch("file-nope", "/v1/images/generations", "24h"), 400, "No batch input file"},
      {"images, a line to another endpoint", "/v1/batches",
       images_batch(wrong_url, "/v1/images/generations", "24h"), 400,
       "the url must be the batch's endpoint"},
      {"images, a custom_id twice", "/v1/batches",
       images_batch(twice, "/v1/images/generations", "24h"), 400, "is used twice"},
      {"images, a good batch", "/v1/batches", images_batch(good, "/v1/images/generations", "24h"),
       200, "\"status\":\"validating\""},
  };
  for (const auto& row : rows) {
    const auto answer = post(row.path, row.body);
    EXPECT_EQ(answer.status_code, row.status) << row.what << ": " << answer.text();
    EXPECT_NE(answer.text().find(row.says), std::string::npos) << row.what << ": " << answer.text();
  }
  EXPECT_EQ(emulator.batch_creates(), 1u);  // only the good one was made
  for (const char* path : {"/v1beta/batches/nope", "/v1/batches/nope"}) {
    host::GetRequest request;
    request.headers = key;
    EXPECT_EQ(http.get(base + path, request).status_code, 404) << path;
  }
}

TEST(ProviderParts, ResultsLinesGiveEachRequestsAnswerAndSkipWhatCantBeRead) {
  const auto dir = scratch_dir();
  struct Read {
    std::string key;
    bool answered;
    int status;
    std::string text;
  };
  const auto read = [&](bool gemini, const std::vector<std::string>& lines) {
    const auto path = dir / "results.jsonl";
    std::ofstream out(path);
    for (const std::string& line : lines) out << line << "\n";
    out.close();
    std::vector<Read> answers;
    const auto each = [&](const host::BatchAnswer& answer) {
      answers.push_back(
          {std::string(answer.key), answer.answered, answer.status, std::string(answer.text())});
    };
    const host::ServiceBatches batches =
        gemini ? image::tavelin::TavelinaClient("http://127.0.0.1:9", "k").batches()
               : image::corvane::CorvaneClient("http://127.0.0.1:9", "k").batches();
    batches.read_results_file(path, each);
    return answers;
  };
  const auto gemini = read(
      true, {R"({"key":"1-1","response":{"candidates":[]}})",
             R"({"response":{"x":1},"metadata":{"key":"2-1"}})",
             R"({"key":"3-1","error":{"code":429,"message":"busy","status":"RESOURCE_EXHAUSTED"}})",
             R"({"key":"4-1","error":{"message":"no code"}})", "not json at all",
             R"({"key":"5-1","response":{"a":"b"}})"});
  const std::vector<std::tuple<std::string, bool, int, std::string>> gemini_expected = {
      {"1-1", true, 200, R"({"candidates":[]})"},
      {"2-1", true, 200, R"({"x":1})"},
      {"3-1", true, 429,
       R"({"error":{"code":429,"message":"busy","status":"RESOURCE_EXHAUSTED"}})"},
      {"4-1", true, 500, R"({"error":{"message":"no code"}})"},
      {"5-1", true, 200, R"({"a":"b"})"}};
  ASSERT_EQ(gemini.size(), gemini_expected.size());
  for (std::size_t i = 0; i < gemini.size(); ++i) {
    const auto& [key, answered, status, text] = gemini_expected[i];
    EXPECT_EQ(gemini[i].key, key);
    EXPECT_EQ(gemini[i].answered, answered) << key;
    EXPECT_EQ(gemini[i].status, status) << key;
    EXPECT_EQ(gemini[i].text, text) << key;
  }

  const auto images = read(
      false,
      {R"({"id":"r1","custom_id":"6-1","response":{"status_code":200,"request_id":"q","body":{"data":[]}},"error":null})",
       R"({"id":"r2","custom_id":"7-1","response":{"status_code":400,"body":{"error":{"message":"m"}}},"error":null})",
       R"({"id":"r3","custom_id":"8-1","response":null,"error":{"code":"batch_expired","message":"late"}})",
       R"({"id":"r4","custom_id":"9-1","response":null,"error":{"code":"invalid_request","message":"bad"}})",
       R"({"id":"r5","custom_id":"10-1","response":{"status_code":200,"body":)"});
  ASSERT_EQ(images.size(), 4u);  // the last line is cut off
  EXPECT_EQ(images[0].text, R"({"data":[]})");
  EXPECT_EQ(images[1].status, 400);
  EXPECT_EQ(images[1].text, R"({"error":{"message":"m"}})");
  EXPECT_FALSE(images[2].answered);  // the batch ended before it ran: made again elsewhere
  EXPECT_TRUE(images[3].answered);
  EXPECT_EQ(images[3].status, 400);
  EXPECT_EQ(images[3].text, R"({"error":{"code":"invalid_request","message":"bad"}})");
  std::filesystem::remove_all(dir);
}

TEST(ProviderParts, TheRecordsOutliveTheRunAndAreNeverReadPastWhatTheyHold) {
  const auto dir = scratch_dir();
  {
    cli::ProviderRecords records(dir);
    EXPECT_TRUE(records.all().empty());  // no file yet
    records.all().push_back({"zantrel-1-1",
                             host::Service::kGemini,
                             "/v1beta/models/m:generateContent",
                             "direct",
                             {"1-1", "2-3"},
                             "",
                             "intent",
                             "2026-12-09T10:00:00Z",
                             ""});
    records.all().push_back({"zantrel-1-2",
                             host::Service::kImages,
                             "/v1/images/edits",
                             "gateway",
                             {"3-1"},
                             "batch_9",
                             "left",
                             "2026-12-09T10:00:01Z",
                             "BATCH_STATE_EXPIRED"});
    records.save();
  }
  cli::ProviderRecords again(dir);
  ASSERT_EQ(again.all().size(), 2u);
  EXPECT_EQ(again.all()[0].keys, (std::vector<std::string>{"1-1", "2-3"}));
  EXPECT_EQ(again.all()[0].state, "intent");
  EXPECT_EQ(again.all()[0].dialect, "direct");
  EXPECT_EQ(again.all()[1].id, "batch_9");
  EXPECT_EQ(again.all()[1].note, "BATCH_STATE_EXPIRED");
  // A file that is not a record is refused rather than overwritten with nothing.
  std::ofstream(dir / "provider-batches.json") << "[1, 2";
  EXPECT_THROW(cli::ProviderRecords{dir}, std::runtime_error);
  std::filesystem::remove_all(dir);
}

TEST(ProviderParts, BatchPlansReadTheirOptions) {
  const struct {
    const char* text;
    bool usable;
    long delay_ms;
    int fail_every;
    bool cut;
  } rows[] = {
      {"", true, 2000, 0, false},
      {"delay=5+fail-every=3", true, 5, 3, false},
      {"cut-results+small+expire=2", true, 2000, 0, true},
      {"delay", false, 0, 0, false},
      {"delay=-1", false, 0, 0, false},
      {"delay=1x", false, 0, 0, false},
      {"speed=3", false, 0, 0, false},
  };
  for (const auto& row : rows) {
    const auto plan = emulator::BatchPlan::parse(row.text);
    ASSERT_EQ(plan.has_value(), row.usable) << row.text;
    if (!plan) continue;
    EXPECT_EQ(plan->delay.count(), row.delay_ms) << row.text;
    EXPECT_EQ(plan->fail_every, row.fail_every) << row.text;
    EXPECT_EQ(plan->cut_results, row.cut) << row.text;
  }
  EXPECT_EQ(emulator::BatchPlan::parse("expire=2+lost-create=4")->lost_create_nth, 4);
}

}  // namespace
}  // namespace zantrel

namespace zantrel {
namespace {

TEST(ProviderParts, ACreatesAnswerDecidesWhetherToLookBeforeSendingAgain) {
  using host::CreateFate;
  const struct {
    std::optional<int> status;
    bool names_batch;
    CreateFate fate;
  } rows[] = {
      {200, true, CreateFate::kMade},
      {201, true, CreateFate::kMade},
      {200, false, CreateFate::kUnknown},           // an answer naming no batch
      {std::nullopt, false, CreateFate::kUnknown},  // cut, timed out or stopped
      {429, false, CreateFate::kUnknown},
      {500, true, CreateFate::kUnknown},
      {503, false, CreateFate::kUnknown},
      {400, false, CreateFate::kRefused},
      {401, false, CreateFate::kRefused},
      {404, false, CreateFate::kRefused},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(host::create_fate(row.status, row.names_batch), row.fate)
        << row.status.value_or(0) << " " << row.names_batch;
  }
}

// The non-blocking forms give what the blocking ones give: a kept file read back byte for byte,
// the service's refusal as ServiceRefused with its status.
TEST(ProviderParts, EachServicesFileAndBatchCallsWorkWithoutBlocking) {
  emulator::Emulator emulator;
  emulator.start();
  const auto dir = scratch_dir();
  const std::string content = "{\"key\":\"1\"}\n{\"key\":\"2\"}\n";
  const host::ServiceBatches engines[] = {
      image::tavelin::TavelinaClient(emulator.base_url(), "k").batches(),
      image::corvane::CorvaneClient(emulator.base_url(), "k").batches()};
  for (const host::ServiceBatches& batches : engines) {
    const host::UploadedFile file =
        batches.upload_file_async(host::to_bytes(content), "application/jsonl", "in.jsonl").get();
    ASSERT_FALSE(file.name.empty());
    batches.download_file_async(file.name, dir / "back.jsonl").get();
    std::ifstream in(dir / "back.jsonl", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content) << file.name;
    EXPECT_NO_THROW(batches.list_async().get());
    // A file the service does not keep: refused, and nothing left where it was to go.
    const auto gone = dir / "gone.jsonl";
    try {
      batches.download_file_async("nope", gone).get();
      ADD_FAILURE() << "an unknown file was downloaded";
    } catch (const host::ServiceRefused& e) {
      EXPECT_EQ(e.status_code(), 404) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(gone));
    for (auto call : {+[](const host::ServiceBatches& b) { (void)b.get_async("nope").get(); },
                      +[](const host::ServiceBatches& b) { b.cancel_async("nope").get(); }}) {
      try {
        call(batches);
        ADD_FAILURE() << "an unknown batch was answered";
      } catch (const host::ServiceRefused& e) {
        EXPECT_EQ(e.status_code(), 404) << e.what();
      }
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(ProviderParts, LinesAreCutIntoBatchesWithinTheServicesLimits) {
  // Bodies of these sizes; a line takes its body and cli::kLineOverhead.
  const auto lines_of = [](const std::vector<std::size_t>& sizes) {
    std::vector<host::BatchLine> lines;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      lines.push_back({std::to_string(i), {"/p", "application/json", host::Bytes(sizes[i])}});
    }
    return lines;
  };
  constexpr std::size_t kLine = cli::kLineOverhead;
  const struct {
    const char* name;
    std::vector<std::size_t> sizes;
    std::size_t max_requests;
    std::size_t max_bytes;
    std::vector<std::size_t> batch_sizes;
    std::vector<std::string> too_large;
  } rows[] = {
      {"all in one", {10, 10, 10}, 10, 1000, {3}, {}},
      {"by count", {1, 1, 1, 1, 1}, 2, 100000, {2, 2, 1}, {}},
      {"by bytes", {100, 100, 100}, 10, 2 * (100 + kLine), {2, 1}, {}},
      {"exactly full", {100, 100}, 10, 2 * (100 + kLine), {2}, {}},
      {"one too large, the rest kept in order", {10, 5000, 10}, 10, 1000, {2}, {"1"}},
      {"nothing", {}, 10, 1000, {}, {}},
  };
  for (const auto& row : rows) {
    const cli::BatchCuts cuts =
        cli::cut_into_batches(lines_of(row.sizes), row.max_requests, row.max_bytes);
    std::vector<std::size_t> sizes;
    std::vector<std::string> keys;
    for (const auto& batch : cuts.batches) {
      sizes.push_back(batch.size());
      for (const auto& line : batch) keys.push_back(line.key);
    }
    EXPECT_EQ(sizes, row.batch_sizes) << row.name;
    EXPECT_EQ(cuts.too_large, row.too_large) << row.name;
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << row.name;
    EXPECT_EQ(keys.size() + cuts.too_large.size(), row.sizes.size()) << row.name;
  }
}

}  // namespace
}  // namespace zantrel
