#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <string>

#include "tools/cli/batch/record.h"
#include "tools/cli/commands/batch_command.h"
#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/signal_stop.h"
#include "zantrel/host/batches/batch_types.h"

namespace zantrel::cli {

// Hands `pending` to the services' own batch engines (`setups` per service): each run of
// images of one service and one path becomes batches within the service's limits (and
// `options.batch_max_requests`), recorded in DIR/provider-batches.json before and after each
// create. Batches recorded by an earlier run are polled, never made again; a create whose answer
// was lost is looked for by its name. Polls back off from `options.poll_seconds` to 5 minutes;
// finished results are written through `writer` as they are read. Returns the exit status (130
// when stopped: a rerun goes on from the records).
ExitCode run_provider_batch(const BatchOptions& options, const Jobs& jobs,
                            const std::deque<Unit>& pending,
                            const std::map<host::Service, CallSetup>& setups,
                            const StopOnSignals& signals, ResultWriter& writer, BatchTally& tally);

// One answer of a provider batch for `unit`: read as a call reads its own answer (`setup`: the
// service's, requests in the public form) and written as every result of a run is.
void record_batch_answer(const Unit& unit, const host::BatchAnswer& answer, const CallSetup& setup,
                         double timeout_seconds, ResultWriter& writer, const std::string& batch_id);

}  // namespace zantrel::cli
