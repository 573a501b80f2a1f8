#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/jobs/job.h"

namespace zantrel::image::tavelin::internal {

// What an Interaction resource says: its id and state, the images of its model output steps
// (thought steps' images are previews, never the result) and its usage.
struct InteractionAnswer {
  std::string id;
  host::JobStatus status;
  std::vector<std::string> links;    // images given by their "uri"
  std::optional<host::Bytes> image;  // the largest inline image, decoded in the body's buffer
  std::optional<std::string> text;   // the model output's text, joined
  int previews = 0;                  // images among the thought steps
  nlohmann::ordered_json usage;      // "usage" as given, or null
  std::optional<std::string> model;
};

// Reads a 200 body. `body` gives its buffer to the image when there is one. Throws
// JSONDecodeError or ResponseShapeError for a body that is no Interaction.
InteractionAnswer read_interaction(host::Bytes& body);

// The state of an Interaction's body (for the waiting): its "status" read into a phase, and its
// first error's message. A body without a readable status is still waiting.
host::JobStatus interaction_status(std::string_view body);

}  // namespace zantrel::image::tavelin::internal
