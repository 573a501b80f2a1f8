// Size calculator, failure names and traces, result factories, logger registry, file reading.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "zantrel/host/images/size_calculator.h"
#include "zantrel/host/log/logger.h"
#include "zantrel/host/references.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/host/result/service_result.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::test_support {
namespace {

using host::GPTImageSizeCalculator;

TEST(SizeCalculator, LongEdgeFromTheClassAndEdgesOnTheGrid) {
  const struct {
    const char* ratio;
    const char* resolution;
    int width, height;
  } cases[] = {
      {"1:1", "", 1024, 1024},    {"1:1", "1K", 1024, 1024},  {"2:3", "1k", 688, 1024},
      {"3:2", "1k", 1024, 688},   {"16:9", "2k", 2048, 1152}, {"16:9", "4K", 3840, 2160},
      {"9:16", "4k", 2160, 3840}, {"1:1", "4k", 2880, 2880},  {"21:9", "1k", 1232, 544},
  };
  for (const auto& c : cases) {
    const auto size = GPTImageSizeCalculator::calc_size(c.ratio, c.resolution);
    EXPECT_EQ(size.dump(),
              nlohmann::ordered_json({{"width", c.width}, {"height", c.height}}).dump())
        << c.ratio << " " << c.resolution;
    const int w = size["width"], h = size["height"];
    EXPECT_EQ(w % 16, 0);
    EXPECT_EQ(h % 16, 0);
    EXPECT_GE(w * h, 655360);
    EXPECT_LE(w * h, 8294400);
  }
}

TEST(SizeCalculator, RefusesWhatItCannotSize) {
  for (auto [ratio, resolution] : std::initializer_list<std::pair<const char*, const char*>>{
           {"auto", "1k"}, {"1:0", "1k"}, {"4:1", "1k"}, {"a:b", ""}, {"1:1", "8k"}, {"", ""}}) {
    EXPECT_THROW(GPTImageSizeCalculator::calc_size(ratio, resolution), host::InvalidArgument)
        << ratio << " " << resolution;
  }
}

TEST(Failures, ShortNamesDescriptionsAndTraces) {
  const auto ours = std::make_exception_ptr(host::ReadTimeout("no data for 5 ms"));
  EXPECT_EQ(host::except_name(ours), "ReadTimeout");
  EXPECT_EQ(host::describe_error(ours), "ReadTimeout: no data for 5 ms");
  EXPECT_NE(host::traceback_text(ours).find("raised at"), std::string::npos);

  EXPECT_EQ(host::except_name(std::make_exception_ptr(std::bad_alloc())), "bad_alloc");
  EXPECT_EQ(host::except_name(std::make_exception_ptr(
                std::filesystem::filesystem_error("x", std::make_error_code(std::errc::io_error)))),
            "filesystem_error");
  EXPECT_EQ(host::except_name(std::make_exception_ptr(42)), "UnknownError");

  std::exception_ptr nested;
  try {
    try {
      throw host::ConnectionError("inner cause");
    } catch (...) {
      std::throw_with_nested(host::FileReadError("outer"));
    }
  } catch (...) {
    nested = std::current_exception();
  }
  const std::string trace = host::traceback_text(nested);
  EXPECT_LT(trace.find("FileReadError: outer"),
            trace.find("caused by ConnectionError: inner cause"));
}

TEST(ServiceResult, FactoriesKeepWhatTheyAreGiven) {
  const auto image = host::ServiceResult::success(host::to_bytes("png"));
  EXPECT_TRUE(image.ok());
  EXPECT_EQ(host::as_text(*image.bytes()), "png");
  EXPECT_EQ(image.link(), nullptr);
  const auto link = host::ServiceResult::success(std::string("https://x"));
  EXPECT_EQ(*link.link(), "https://x");
  const auto failed = host::ServiceResult::fail(host::ErrorCode::NO_IMAGE_RESULT);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.code(), host::ErrorCode::NO_IMAGE_RESULT);
  EXPECT_FALSE(failed.msg().has_value());
  EXPECT_EQ(host::to_string(*failed.code()), "NO_IMAGE_RESULT");
}

TEST(LoggerRegistry, SameNameSameLoggerUntilTheFactoryChanges) {
  auto captured = std::make_shared<testkit::CapturingLogger>();
  host::set_logger_factory([captured](std::string_view) { return captured; });
  EXPECT_EQ(host::get_logger("a"), captured);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      for (int j = 0; j < 100; ++j) host::get_logger("a")->debug({{"msg", "m"}});
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(captured->records().size(), 800u);
  host::set_logger_factory({});
  EXPECT_NE(host::get_logger("a"), captured);
}

TEST(ReadFileBytes, WholeFilesAndClearFailures) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-read-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "f.bin";
  const std::string content(
      "\0\x01"
      "binary\xff",
      9);
  std::ofstream(file, std::ios::binary) << content;
  EXPECT_EQ(host::as_text(host::read_file_bytes(file.string())), content);
  EXPECT_THROW(host::read_file_bytes(dir.string()), host::FileReadError);
  EXPECT_THROW(host::read_file_bytes((dir / "missing").string()), host::FileReadError);
  // Loading drops a path where nothing exists, but fails on one it cannot read.
  EXPECT_TRUE(host::load_references(host::Files((dir / "missing").string())).empty());
  EXPECT_THROW(host::load_references(host::Files(dir.string())), host::FileReadError);
  // A NUL cuts the name short for the system: "f.bin\0.txt" would read f.bin. It names no file.
  const std::string with_nul = file.string() + std::string("\0.txt", 5);
  EXPECT_TRUE(host::load_references(host::Files(with_nul)).empty());
  EXPECT_TRUE(
      host::load_references(host::Files(std::vector<host::Reference>{with_nul, file.string()}))
          .size() == 1);
  EXPECT_THROW(host::read_file_bytes(with_nul), host::FileReadError);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support
