// Both clients' entries agree on what a reference that does not load does: a positional call
// leaves it out and goes on, a request by name is refused before sending; blocking and
// non-blocking alike.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tools/emulator/emulator.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel {
namespace {

TEST(Entries, APositionalCallLeavesOutAReferenceThatDoesNotLoadAndARequestByNameRefusesIt) {
  emulator::Emulator emulator;
  emulator.start();
  const std::string gone = "/no/such/reference.png";
  const image::tavelin::TavelinaClient gemini(emulator.base_url(), "k");
  const image::corvane::CorvaneClient images(emulator.base_url(), "k");
  const image::tavelin::GenerationRequest gemini_request{.prompt = "a fox", .files = gone};
  const image::corvane::ImageRequest images_request{.prompt = "a fox", .files = gone};
  const struct {
    const char* name;
    std::function<host::ServiceResult()> call;
    bool sent;
  } rows[] = {
      {"gemini positional", [&] { return gemini.start("a fox", "1:1", "1K", gone); }, true},
      {"gemini positional, non-blocking",
       [&] { return gemini.start_async("a fox", "1:1", "1K", gone).get(); }, true},
      {"gemini by name", [&] { return gemini.start(gemini_request); }, false},
      {"gemini by name, non-blocking", [&] { return gemini.start_async(gemini_request).get(); },
       false},
      {"images positional", [&] { return images.start("a fox", "1:1", "", "", gone); }, true},
      {"images positional, non-blocking",
       [&] { return images.start_async("a fox", "1:1", "", "", gone).get(); }, true},
      {"images by name", [&] { return images.start(images_request); }, false},
      {"images by name, non-blocking", [&] { return images.start_async(images_request).get(); },
       false},
  };
  for (const auto& row : rows) {
    const auto before = emulator.requests();
    const host::ServiceResult result = row.call();
    EXPECT_EQ(result.ok(), row.sent) << row.name << ": " << result.msg().value_or("");
    EXPECT_EQ(emulator.requests() > before, row.sent) << row.name;
    if (!row.sent) {
      EXPECT_EQ(result.code(), host::ErrorCode::INVALID_PARAMS) << row.name;
      EXPECT_NE(result.msg().value_or("").find("can't be used"), std::string::npos) << row.name;
    }
  }
}

}  // namespace
}  // namespace zantrel
