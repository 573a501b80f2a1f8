#pragma once

// How the emulator answers when a scenario names a fault: the faults both services share
// (busy, statuses, bodies that are no JSON or too large, redirects, echoed keys), the ways a
// success body is delivered badly (trickled, cut, reset), and the pauses before an answer.

#include <chrono>
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/emulator/answer_context.h"
#include "tools/emulator/scenario.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zantrel::emulator {

enum class Api { kGemini, kImages };

void send_json(httplib::Response& res, int status, const nlohmann::ordered_json& body);

// Streams `body` in `pieces`, sleeping `pause` before each, and optionally stops early
// (dropping the connection) or announces more bytes than it sends.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the body's shape, then its faults
void stream_body(httplib::Response& res, std::string body, int pieces,
                 std::chrono::milliseconds pause, bool stop_halfway, std::size_t extra_announced,
                 const char* content_type = "application/json");

// Sends the first half of `body` with chunked transfer coding, then drops the connection
// without the last chunk.
void chunked_cut(httplib::Response& res, std::string body);

// The pause of the waiting scenarios before any byte of the answer. With an idle cut (a
// gateway's limit on an exchange that sends nothing), a pause longer than the cut ends after it
// with the connection closed, nothing answered: true, and nothing more is to be answered.
bool wait_before_answering(const Scenario& s, const AnswerContext& context,
                           const httplib::Request& req, httplib::Response& res);
// The pause a waiting scenario makes before answering (zero for the others).
std::chrono::milliseconds answer_pause(const Scenario& s);

// Answers the faults that are the same for both services, each in its service's words; false
// when the success path (or a service's own fault) is to run.
bool answer_shared_fault(Api api, const Scenario& s, const httplib::Request& req,
                         httplib::Response& res);

// Sends a success body according to the delivery scenarios (trickle, reset, truncated, cut).
void deliver(const Scenario& s, httplib::Response& res, std::string body);

}  // namespace zantrel::emulator
