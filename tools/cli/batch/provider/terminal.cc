#include "tools/cli/batch/provider/terminal.h"

#include <unistd.h>

#include <iostream>

#include "tools/cli/output/image_output.h"
#include "tools/cli/terminal/status_line.h"

namespace zantrel::cli {
namespace {

bool on_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace

void ProviderTerminal::say(const ProviderRecord& record, const std::string& text) {
  std::cerr << "batch " << record.name << ": " << text << "\n";
}

void ProviderTerminal::unreadable(const std::string& file, int line, const std::string& why) {
  std::cerr << "zantrel-image: " << file << " line " << line << " can't be read ("
            << terminal_text(why) << "); its image is left\n";
}

void ProviderTerminal::state_changed(const ProviderRecord& record,
                                     const host::BatchStatus& remote) {
  if (on_terminal()) return;  // the status line says it
  std::cerr << "batch " << record.name << " (" << host::to_string(record.service) << ", "
            << record.id << "): " << remote.state << " " << remote.succeeded + remote.failed << "/"
            << remote.total << "\n";
}

void ProviderTerminal::waiting(const std::vector<ProviderRecord>& records,
                               const std::map<std::string, host::BatchStatus>& remotes,
                               const BatchTally& tally, int running, double next_poll) {
  if (!on_terminal()) return;
  int requests = 0, answered = 0;
  for (const ProviderRecord& record : records) {
    const auto remote = remotes.find(record.name);
    if (record.state != "created" || remote == remotes.end()) continue;
    requests += remote->second.total;
    answered += remote->second.succeeded + remote->second.failed;
  }
  draw_status_line("[provider] " + std::to_string(running) + " batches running (" +
                   std::to_string(answered) + "/" + std::to_string(requests) + " answered) | " +
                   std::to_string(tally.ok) + " ok " + std::to_string(tally.failed) +
                   " failed | next poll in " + duration_text(next_poll));
  shown_ = true;
}

void ProviderTerminal::clear() {
  if (shown_) clear_status_line();
  shown_ = false;
}

void ProviderTerminal::left(int images, const std::string& out_dir) {
  if (images == 0) return;
  std::cerr << images
            << " images left by batches that ended without them; `zantrel-image batch JOBS "
               "--out-dir "
            << out_dir << " --via direct --resume` makes them\n";
}

void ProviderTerminal::stopped(const std::vector<ProviderRecord>& records) {
  int running = 0;
  for (const ProviderRecord& record : records) {
    running += record.state != "done" && record.state != "left";
  }
  if (running == 0) return;
  std::cerr << "stopped: " << running
            << " batches go on at the services; run the job again (--resume) to collect them, "
               "batch-status to see them\n";
}

}  // namespace zantrel::cli
