#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/cli/batch/progress.h"
#include "tools/cli/batch/provider/records.h"
#include "zantrel/host/batches/batch_types.h"

namespace zantrel::cli {

// What a provider run tells the terminal: a line per event of a batch, each state change when
// stderr is no terminal, else one status line while batches run; at the end what was left and,
// when stopped, what goes on at the services.
class ProviderTerminal {
 public:
  // "batch NAME: TEXT".
  static void say(const ProviderRecord& record, const std::string& text);
  // A line of a results file that can't be read: its image is left.
  static void unreadable(const std::string& file, int line, const std::string& why);
  static void state_changed(const ProviderRecord& record, const host::BatchStatus& remote);
  // The status line: batches running, their answers so far, the run's tally, the next poll.
  void waiting(const std::vector<ProviderRecord>& records,
               const std::map<std::string, host::BatchStatus>& remotes, const BatchTally& tally,
               int running, double next_poll);
  void clear();
  static void left(int images, const std::string& out_dir);
  static void stopped(const std::vector<ProviderRecord>& records);

 private:
  bool shown_ = false;
};

}  // namespace zantrel::cli
