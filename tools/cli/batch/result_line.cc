#include "tools/cli/batch/result_line.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

std::string text_at(const json& object, const char* pointer) {
  const json::json_pointer at(pointer);
  if (!object.contains(at)) return "";
  const json& value = object.at(at);
  return value.is_string() ? value.get<std::string>() : "";
}

std::optional<double> number_at(const json& object, const char* pointer) {
  const json::json_pointer at(pointer);
  if (!object.contains(at)) return std::nullopt;
  const json& value = object.at(at);
  if (!value.is_number()) return std::nullopt;
  const auto number = value.get<double>();
  return number >= 0 && number <= 1e12 ? std::optional(number) : std::nullopt;
}

void put_text(json& line, const char* key, const std::string& value) {
  if (!value.empty()) line[key] = value;
}

}  // namespace

json to_json(const ResultLine& line, const json& result) {
  json out = json::object();
  out["line"] = line.line;
  if (!line.error.empty()) {
    out["error"] = line.error;
    return out;
  }
  out["name"] = line.name;
  out["index"] = line.index;
  out["named"] = line.named;
  out["request"] = line.request;
  out["service"] = line.service;
  out["prompt"] = line.prompt;
  out["at"] = line.at;
  put_text(out, "file", line.file);
  put_text(out, "write_error", line.write_error);
  put_text(out, "kept", line.kept);
  if (!result.is_null()) out["result"] = result;
  put_text(out, "via", line.via);
  put_text(out, "batch", line.batch);
  put_text(out, "from_link", line.from_link);
  return out;
}

std::optional<ResultLine> read_result_line(const json& object) {
  if (!object.is_object() || !object.contains("line") || !object["line"].is_number_integer()) {
    return std::nullopt;
  }
  ResultLine line;
  line.line = object["line"].get<int>();
  line.error = text_at(object, "/error");
  line.name = text_at(object, "/name");
  const json& index = object.value("index", json());
  line.index = index.is_number_integer() ? index.get<int>() : 1;
  const json& named = object.value("named", json());
  line.named = named.is_boolean() ? named.get<bool>() : true;
  line.request = text_at(object, "/request");
  line.service = text_at(object, "/service");
  line.prompt = text_at(object, "/prompt");
  line.at = text_at(object, "/at");
  line.file = text_at(object, "/file");
  line.write_error = text_at(object, "/write_error");
  line.kept = text_at(object, "/kept");
  line.via = text_at(object, "/via");
  line.batch = text_at(object, "/batch");
  line.from_link = text_at(object, "/from_link");
  const json& result = object.value("result", json());
  if (result.is_object()) {
    ResultLine::Outcome outcome;
    const json& ok = result.value("ok", json());
    outcome.ok = ok.is_boolean() && ok.get<bool>();
    outcome.code = text_at(result, "/code");
    outcome.msg = text_at(result, "/msg");
    outcome.link = text_at(result, "/link");
    outcome.sha256 = text_at(result, "/sha256");
    outcome.failure_kind = text_at(result, "/report/failure_kind");
    outcome.model_sent = text_at(result, "/report/model_sent");
    outcome.prices_as_of = text_at(result, "/report/cost/prices_as_of");
    outcome.width = number_at(result, "/report/image/width");
    outcome.height = number_at(result, "/report/image/height");
    outcome.total_tokens = number_at(result, "/report/usage/total_tokens");
    outcome.cost_usd = number_at(result, "/report/cost/usd");
    outcome.total_seconds = number_at(result, "/report/timings_s/total");
    line.result = std::move(outcome);
  }
  return line;
}

}  // namespace zantrel::cli
