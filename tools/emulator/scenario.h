#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zantrel::emulator {

// Every way the emulator can answer, one per scenario of the catalogue.
enum class Fault {
  kNormal,
  kNewModels,
  kBusy,
  kBusyText,
  kEchoKey,
  kStatus,
  kStatusText,
  kStatusEmptyError,
  kNotJson,
  kEmptyBody,
  kTruncatedJson,
  kDeepJson,
  kFinish,
  kNoImage,
  kPromptBlocked,
  kFileLink,
  kMissingLink,
  kLinkRedirectScheme,
  kLinkHalfway,
  kLinkSilent,
  kDataLink,
  kBadBase64,
  kDelay,
  kTrickle,
  kReset,
  kTruncated,
  kChunkedCut,
  kOversized,
  kOversizedChunked,
  kRedirect,
  kLarge,
  kStreamFinalFirst,
  kStreamFinalOnly,
  kStreamThoughts,
  kStreamCut,
  kStreamError,
  kStreamStall,
  kStreamPace,
  kUploadCut,
  kFileTtl,
  kFileExpired,
  kSmallDelay,
  kBatch,
  kJob,
};

// How the emulator answers: a name and an optional parameter ("delay:1500", "status:503"), and
// the fault the name stands for, which the routes switch on. Made by `parse` (or default:
// "normal"), so that the fault always follows the name.
struct Scenario {
  std::string name = "normal";
  std::string param;
  Fault fault = Fault::kNormal;

  // Parses "name" or "name:param"; nothing for an unknown name or a bad parameter.
  static std::optional<Scenario> parse(std::string_view text);
  std::string text() const { return param.empty() ? name : name + ":" + param; }
  // The parameter as a number, or `fallback` when there is none.
  long number(long fallback) const;
};

struct ScenarioInfo {
  Fault fault;
  const char* name;
  const char* param;  // what the parameter means, or "" when there is none
  const char* effect;
};

// Scenarios drawn at random by weight, one per request.
struct ScenarioMix {
  struct Entry {
    Scenario scenario;
    unsigned weight = 1;
  };
  std::vector<Entry> entries;

  // Parses "NAME[:PARAM]:WEIGHT,..." (e.g. "normal:8,busy:1,delay:1500:1"); nothing when an
  // entry names an unknown scenario or has no positive whole weight.
  static std::optional<ScenarioMix> parse(std::string_view text);
  // The entry that `draw` (any value below the total weight) falls on.
  const Scenario& pick(unsigned long draw) const;
  unsigned long total_weight() const;
};

// Every scenario the emulator knows, for --help and --list-scenarios.
const std::vector<ScenarioInfo>& scenario_catalogue();

}  // namespace zantrel::emulator
