#include "tools/cli/commands/demo_command.h"

#include <CLI/CLI.hpp>

#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/flags.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "tools/cli/commands/generate_command.h"
#include "tools/cli/core/child_process.h"

namespace zantrel::cli {

std::string find_emulator() {
  if (const char* path = std::getenv("ZANTREL_EMULATOR"); path != nullptr && *path != '\0')
    return path;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    for (const auto& candidate :
         {self.parent_path() / "zantrel-emulator",
          self.parent_path().parent_path() / "emulator" / "zantrel-emulator"}) {
      if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
  }
  return "zantrel-emulator";
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): two paths, one call site
ExitCode run_demo(const std::string& out_dir, const std::string& emulator_path) {
  const std::string key = "demo-key";
  std::string base_url;
  try {
    std::filesystem::create_directories(out_dir);
    ChildProcess emulator({emulator_path, "--api-key", key});
    const std::string line = emulator.read_line(std::chrono::seconds(20));
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("unexpected emulator output: " + line);
    base_url = line.substr(prefix.size());
    std::cout << "emulator: " << base_url << " (stopped at the end)\n";

    const std::string gemini_out =
        (std::filesystem::path(out_dir) / "zantrel-demo-gemini.png").string();
    const std::string images_out =
        (std::filesystem::path(out_dir) / "zantrel-demo-images.png").string();

    GenerateOptions gemini;
    gemini.service = host::Service::kGemini;
    gemini.prompt = "a quiet valley at dawn";
    gemini.base_url = base_url;
    gemini.api_key = key;
    gemini.aspect_ratio = "16:9";
    gemini.image_size = "1K";
    gemini.out = gemini_out;
    gemini.allow_private_links = true;  // the emulator lives on this machine
    std::cout << "gemini: " << gemini.prompt << "\n";
    if (const ExitCode status = run_generate(gemini); status != ExitCode::kSuccess) return status;

    GenerateOptions images;
    images.service = host::Service::kImages;
    images.prompt = "the same valley at dusk";
    images.base_url = base_url;
    images.api_key = key;
    images.aspect_ratio = "3:2";
    images.quality = "high";
    images.refs = {gemini_out};  // an edit of the first picture, sent as a multipart form
    images.out = images_out;
    images.allow_private_links = true;
    std::cout << "images (edit of the first): " << images.prompt << "\n";
    if (const ExitCode status = run_generate(images); status != ExitCode::kSuccess) return status;

    std::cout << "done: " << std::filesystem::absolute(gemini_out).string() << "\n      "
              << std::filesystem::absolute(images_out).string() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image demo: " << e.what() << "\n";
    return ExitCode::kFailedResult;
  }
  return ExitCode::kSuccess;
}

Command add_demo_command(CLI::App& app) {
  CLI::App& demo =
      *app.add_subcommand("demo", "run the emulator and generate one image with each client");
  auto out_dir = std::make_shared<std::string>(".");
  demo.add_option("--out-dir", *out_dir, "where the two images go (default: here)");
  return {&demo, [out_dir] { return run_demo(*out_dir, find_emulator()); }};
}

}  // namespace zantrel::cli
