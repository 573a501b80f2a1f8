#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tools/emulator/dialect_checks.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::emulator {

// The public endpoint refuses top-level members it does not know (the gateway's
// "response_format" among them).
std::optional<Refusal> check_gemini_members(const std::string& body);

// What the public Gemini endpoint answers to a request for `model` (from the URL) before it
// reads the body, `served` being its entry in the day's lineup: 404 for a model it does not
// serve (one shut down included).
std::optional<Refusal> check_gemini_model(const std::string& model, const host::ModelInfo* served);

// What it refuses in a readable body for that model: more than one candidate, a ratio, size or
// thinking level the model does not take. Nothing is asked of a model the catalogue does not
// describe.
std::optional<Refusal> check_gemini_model_request(const host::ModelInfo& model,
                                                  const CheckedRequest& request);

// The thought signature of a part the emulator answers with (its image's base64, or its text):
// what it checks on the way back.
std::string thought_signature_of(std::string_view content);

// What the public endpoint refuses in a conversation's earlier turns for a Gemini 3 model: a
// model turn's image part without its signature ("Image part is missing a thought_signature in
// content position N, part position M.", counted from 1), or any signature that is not the one
// it gave.
std::optional<Refusal> check_gemini_signatures(const std::string& model, const std::string& body);

}  // namespace zantrel::emulator
