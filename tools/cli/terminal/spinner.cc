#include "tools/cli/terminal/spinner.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>

#include "tools/cli/terminal/status_line.h"

namespace zantrel::cli {

void run_with_spinner(const std::string& label, bool show, const std::function<void()>& work,
                      const std::function<std::string()>& status) {
  auto running = std::async(std::launch::async, work);
  if (show) {
    static constexpr const char* kFrames[] = {"|", "/", "-", "\\"};
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t frame = 0;
         running.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready; ++frame) {
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
              .count();
      const std::string words = status ? status() : std::string();
      draw_status_line(std::string(kFrames[frame % 4]) + " " + label + " " +
                       std::to_string(seconds) + "s" + (words.empty() ? "" : ", " + words));
    }
    clear_status_line();
  }
  running.get();  // rethrows what the work threw
}

}  // namespace zantrel::cli
