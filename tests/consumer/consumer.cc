// Builds against the installed headers and libraries and makes one call of each client against
// an address where nothing listens: both must return a failed result, not throw.
#include <cstdio>

#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

int main() {
  zantrel::image::tavelin::TavelinaClient gemini("http://127.0.0.1:1", "key");
  zantrel::image::corvane::CorvaneClient images("http://127.0.0.1:1", "key");
  const auto a = gemini.start("a cat");
  const auto b = images.start("a cat");
  const bool expected = !a.ok() && a.code() == zantrel::host::ErrorCode::SERVICE_BUSY && !b.ok() &&
                        b.code() == zantrel::host::ErrorCode::SERVICE_BUSY;
  std::printf("%s %s\n", std::string(zantrel::host::to_string(*a.code())).c_str(),
              std::string(zantrel::host::to_string(*b.code())).c_str());
  return expected ? 0 : 1;
}
