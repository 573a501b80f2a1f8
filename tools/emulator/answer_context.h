#pragma once

#include <chrono>
#include <string>

#include "tools/emulator/gemini/files.h"

namespace zantrel::emulator {

// What a service's answer needs of the running emulator.
struct AnswerContext {
  bool direct = false;   // the public endpoints' own checks apply (else a gateway's)
  std::string base_url;  // links in answers point here
  const GeminiFiles* files = nullptr;
  // A gateway's limit on an exchange that sends nothing (zero: none), and the port whose
  // connections it drops.
  std::chrono::milliseconds idle_cut{0};
  int port = 0;
};

}  // namespace zantrel::emulator
