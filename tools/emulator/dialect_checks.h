#pragma once

#include <httplib.h>

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/emulator/request_checks.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::emulator {

// Which wire forms the emulator takes: the gateway's (bearer keys, every member), the public
// endpoints' (answering as they do to anything else), or either.
enum class AcceptedDialect { kBoth, kGateway, kDirect };

// "both", "gateway" or "direct"; nothing for any other text.
std::optional<AcceptedDialect> parse_accepted_dialect(const std::string& text);

// A refusal as the service would send it.
struct Refusal {
  int status = 400;
  nlohmann::ordered_json body;
};

// The key check of a request. The public Gemini endpoint takes an API key only in
// "x-goog-api-key" and reads a bearer token as an OAuth access token (401); the gateway (and the
// images API, always) takes the key as a bearer token. An empty `api_key` accepts any key in the
// accepted header.
std::optional<Refusal> check_key(const httplib::Request& req, const std::string& api_key,
                                 AcceptedDialect dialect);

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

// What the public images endpoint refuses in the text fields of a generations or edits request:
// "response_format" for gpt-image models, an empty "size" or "quality", and a size the model
// does not take (the gpt-image-1 family takes listed sizes only).
// `served`: the model's entry in the day's lineup (nullptr: not served, 404 "model_not_found";
// one the catalogue does not describe is asked only what every model is).
std::optional<Refusal> check_images_fields(const std::map<std::string, std::string>& fields,
                                           const host::ModelInfo* served);

}  // namespace zantrel::emulator
