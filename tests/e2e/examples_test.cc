// Every example host program, run as a user would run it, against the emulator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/references.h"

namespace zantrel::test_support {
namespace {

struct ExampleRun {
  std::string name;
  // Arguments after BASE_URL and API_KEY; "{dir}" becomes the scratch directory.
  std::vector<std::string> args;
  // Lines the program must print, in this order.
  std::vector<std::string> printed;
  // A file the program must write (an image), relative to the scratch directory.
  std::string image_file;
};

void PrintTo(const ExampleRun& run, std::ostream* out) { *out << run.name; }

class Example : public ::testing::TestWithParam<ExampleRun> {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("zantrel-examples-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    const host::Bytes reference = emulator::render_png(7, 96, 64);
    std::ofstream(dir_ / "reference.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(reference.data()),
               static_cast<std::streamsize>(reference.size()));
    emulator::EmulatorOptions options;
    options.api_key = key_;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }
  void TearDown() override {
    emulator_.reset();
    EXPECT_EQ(leaking_files(dir_, key_), std::vector<std::string>{});
    std::filesystem::remove_all(dir_);
  }

  std::string key_ = make_canary_key();
  std::filesystem::path dir_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_P(Example, RunsAgainstTheEmulator) {
  const ExampleRun& run = GetParam();
  std::vector<std::string> argv = {std::string(ZANTREL_EXAMPLES_DIR) + "/" + run.name,
                                   emulator_->base_url(), key_};
  for (std::string arg : run.args) {
    if (auto at = arg.find("{dir}"); at != std::string::npos) arg.replace(at, 5, dir_.string());
    argv.push_back(arg);
  }
  const ProcessResult result = run_process(argv);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_FALSE(leaks(result.out, key_));
  EXPECT_FALSE(leaks(result.err, key_));
  std::size_t from = 0;
  for (const std::string& line : run.printed) {
    const auto at = result.out.find(line, from);
    ASSERT_NE(at, std::string::npos) << "missing \"" << line << "\" in:\n" << result.out;
    from = at + line.size();
  }
  if (!run.image_file.empty()) {
    const host::Bytes image = host::read_file_bytes((dir_ / run.image_file).string());
    EXPECT_EQ(host::sniff_image_mime(image).value_or("none"), "image/png");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, Example,
    ::testing::Values(
        ExampleRun{"gemini_generate",
                   {"{dir}/out.png"},
                   {"answered, 1290 output tokens", "at the prices of 2026-12-01", "wrote ",
                    " bytes to ", "seeded: ok, the model said: Here is your picture."},
                   "out.png"},
        ExampleRun{"images_edit",
                   {"{dir}/reference.png", "{dir}/edited.png"},
                   {"edited 2 references into ", "one request gave 2 images, webp, 1072x624"},
                   "edited.png"},
        ExampleRun{"custom_http_and_logger",
                   {},
                   {"log: HOST-GEMINI request api", "log: HOST-GEMINI api complete successfully",
                    "result: ok, requests sent: 1"},
                   ""},
        ExampleRun{"many_at_once", {"5"}, {"5 of 5 calls gave an image"}, ""},
        ExampleRun{"stream_progress",
                   {"{dir}/fox.png"},
                   {"waiting (", "receiving (", "preview: partial 1 of 2, image/png, ",
                    "preview: partial 2 of 2, image/png, ",
                    "final image: ", " after 2 previews (the first after "},
                   "fox.png"},
        ExampleRun{"service_batches",
                   {"{dir}"},
                   {"example-gemini: BATCH_STATE_SUCCEEDED, 3 of 3 answers with an image",
                    "example-images: completed, 3 of 3 answers with an image"},
                   ""},
        ExampleRun{
            "background_jobs",
            {"{dir}/lighthouse.png"},
            {"submitted v1_int_", "state: ", "collected ", " after 1 polls, 1290 output tokens",
             "images: ", " bytes from one background call", "after cancel: "},
            "lighthouse.png"},
        ExampleRun{"three_turns",
                   {"{dir}/turns"},
                   {"gemini turn 1: gemini-turn-1.png", "gemini turn 3: gemini-turn-3.png",
                    "gemini: 6 turns kept", "images turn 1: images-turn-1.png",
                    "images turn 3: images-turn-3.png", "images: 6 turns kept",
                    "shared reference turn 1: 1 uploaded", "shared reference turn 2: 0 uploaded"},
                   "turns/images-turn-3.png"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zantrel::test_support
