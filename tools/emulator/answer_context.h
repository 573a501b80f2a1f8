#pragma once

#include <string>

#include "tools/emulator/gemini/files.h"

namespace zantrel::emulator {

// What a service's answer needs of the running emulator.
struct AnswerContext {
  bool direct = false;   // the public endpoints' own checks apply (else a gateway's)
  std::string base_url;  // links in answers point here
  const GeminiFiles* files = nullptr;
};

}  // namespace zantrel::emulator
