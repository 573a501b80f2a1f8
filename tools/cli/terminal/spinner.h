#pragma once

#include <functional>
#include <string>

namespace zantrel::cli {

// Runs `work` on a worker thread. While it runs, and only when `show` is set, draws a spinner
// with the elapsed seconds on standard error, and clears it afterwards. `status`, when given, is
// asked at each frame for words to add ("receiving, 1 preview").
void run_with_spinner(const std::string& label, bool show, const std::function<void()>& work,
                      const std::function<std::string()>& status = {});

}  // namespace zantrel::cli
