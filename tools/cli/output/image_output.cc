#include "tools/cli/output/image_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/files/new_file.h"
#include "zantrel/host/images/image_mime.h"

namespace zantrel::cli {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(error));
}

}  // namespace

namespace {

// The pieces written one after another into a new file beside `path`, renamed over it.
void write_pieces_atomically(const std::string& path, std::initializer_list<host::ByteView> pieces,
                             Durability durability) {
  try {
    host::replace_file(path, pieces, durability == Durability::kSynced);
  } catch (const std::system_error& error) {
    const std::string_view step(error.what());
    fail(step.starts_with("write") ? "write" : "create a file beside", path, error.code().value());
  }
}

}  // namespace

void write_file_atomically(const std::string& path, host::ByteView bytes, Durability durability) {
  write_pieces_atomically(path, {bytes}, durability);
}

WrittenFile write_image_file(const std::string& path, host::ByteView image,
                             const std::optional<host::ImageMetadata>& metadata,
                             Durability durability) {
  const auto pieces = metadata ? host::metadata_pieces(image, *metadata) : std::nullopt;
  if (!pieces) {
    write_pieces_atomically(path, {image}, durability);
    return {image.size(), sha256_hex(image)};
  }
  const host::ByteView rest = image.subspan(pieces->resume_at);
  write_pieces_atomically(path, {pieces->head, rest, pieces->tail}, durability);
  return {pieces->head.size() + rest.size() + pieces->tail.size(),
          sha256_hex({pieces->head, rest, pieces->tail})};
}

std::string default_output_name(host::Service service, host::ByteView image) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string extension(host::image_extension(host::sniff_image_mime(image)));
  std::string name =
      "zantrel-" + std::string(host::to_string(service)) + "-" + stamp + "." + extension;
  for (int i = 2; std::filesystem::exists(name); ++i) {
    name = "zantrel-" + std::string(host::to_string(service)) + "-" + stamp + "-" +
           std::to_string(i) + "." + extension;
  }
  return name;
}

std::optional<std::string> output_fault(const std::string& path) {
  if (path.empty()) return std::string("the output file name is empty");
  const std::filesystem::path target(path);
  if (!target.has_filename()) return "the output " + path + " names a folder, not a file";
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    return "the folder of the output " + path + " can't be used: " + std::strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return "the folder of the output " + path + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return "cannot write into " + folder.string() + ": " + std::strerror(errno);
  }
  if (::lstat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return "the output " + path + " is a folder, not a file";
    if (!S_ISREG(info.st_mode)) return "the output " + path + " is not a regular file";
    // By its mode, not access(2): a file its owner made read-only stays so even for root.
    if ((info.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
      return "the output " + path + " is read-only; it is not replaced";
    }
  }
  // A read-only file system or a folder out of room for a new name shows only on trying.
  std::string probe;
  const std::string stem = (folder / ".zantrel-probe.").string();
  const int fd = host::create_new_file(stem, 0600, probe);
  if (fd < 0) return "cannot write into " + folder.string() + ": " + std::strerror(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return std::nullopt;
}

KeptImage keep_unsaved(host::Service service, host::ByteView image,
                       const std::optional<host::ImageMetadata>& metadata) {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path folder;
  if (state != nullptr && *state == '/') {
    folder = std::filesystem::path(state) / "zantrel" / "unsaved";
  } else if (home != nullptr && *home != '\0') {
    folder = std::filesystem::path(home) / ".local" / "state" / "zantrel" / "unsaved";
  } else {
    throw std::runtime_error("no state folder (neither XDG_STATE_HOME nor HOME is set)");
  }
  std::filesystem::create_directories(folder);
  const std::string extension(host::image_extension(host::sniff_image_mime(image)));
  std::string made;
  const int fd = host::create_new_file(
      (folder / ("zantrel-" + std::string(host::to_string(service)) + "-")).string(), 0600, made);
  if (fd < 0) fail("create a file in", folder.string(), errno);
  ::close(fd);
  KeptImage kept{made + "." + extension, {}};
  try {
    kept.file = write_image_file(kept.path, image, metadata);
  } catch (...) {
    ::unlink(made.c_str());
    throw;
  }
  ::unlink(made.c_str());
  return kept;
}

// An image that could not be written where asked, kept in the user's state folder: says why and
// where on stderr, and gives that path (nothing when even that failed; `file` then stays empty).
std::optional<std::string> keep_image_elsewhere(host::Service service, host::ByteView image,
                                                const std::optional<host::ImageMetadata>& facts,
                                                const std::string& why,
                                                std::optional<WrittenFile>& file) {
  std::cerr << "zantrel-image: " << why << "\n";
  try {
    KeptImage kept = keep_unsaved(service, image, facts);
    file = kept.file;
    std::cerr << "zantrel-image: the image is kept at " << kept.path << "\n";
    return std::move(kept.path);
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: the image could not be kept anywhere: " << e.what() << "\n";
    return std::nullopt;
  }
}

std::string terminal_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char escaped[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // C1 controls are U+0080 to U+009F, written C2 80 to C2 9F.
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[++i]));
      out += escaped;
    } else if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string unfetched_link_note(const std::string& link) {
  return "the answer is only a link to the image, which could not be fetched: " + link +
         " (no file written; it may be fetched while the service keeps it)";
}

std::string numbered_name(const std::string& name, int index) {
  const std::filesystem::path path(name);
  const std::string suffix = "-" + std::to_string(index);
  if (!path.has_extension()) return name + suffix;
  std::filesystem::path numbered = path;
  numbered.replace_filename(path.stem().string() + suffix + path.extension().string());
  return numbered.string();
}

std::string json_report(const host::ServiceResult& result, const std::optional<std::string>& out,
                        host::Dialect dialect, const host::CallReport& call, std::size_t image,
                        const std::optional<WrittenFile>& written) {
  return json_report_object(result, out, dialect, call, image, written)
      .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json json_report_object(const host::ServiceResult& result,
                                          const std::optional<std::string>& out,
                                          host::Dialect dialect, const host::CallReport& call,
                                          std::size_t image,
                                          const std::optional<WrittenFile>& written) {
  using json = nlohmann::ordered_json;
  const auto images = result.images();
  const std::optional<host::ByteView> bytes =
      image < images.size() ? std::optional(images[image]) : std::nullopt;
  json report = json::object();
  report["ok"] = result.ok();
  report["code"] = result.code() ? json(std::string(host::to_string(*result.code()))) : json();
  report["msg"] = result.msg() ? json(*result.msg()) : json();
  report["kind"] = result.bytes() ? json("bytes") : result.link() ? json("link") : json();
  report["bytes"] = written ? json(written->bytes) : bytes ? json(bytes->size()) : json();
  report["sha256"] = written ? json(written->sha256) : bytes ? json(sha256_hex(*bytes)) : json();
  report["out"] = out ? json(*out) : json();
  report["link"] = result.link() ? json(*result.link()) : json();
  report["dialect"] = host::to_string(dialect);
  report["report"] = host::to_json(call);
  return report;
}

std::string with_thousands(std::int64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > (value < 0 ? 1 : 0); at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

namespace {

std::string fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

std::string dollars(double usd) { return "$" + fixed(usd, usd < 1 ? 4 : 2); }

namespace {

std::string byte_size(std::size_t bytes) {
  if (bytes >= 1000000) return fixed(static_cast<double>(bytes) / 1e6, 1) + " MB";
  if (bytes >= 1000) return fixed(static_cast<double>(bytes) / 1e3, 1) + " KB";
  return std::to_string(bytes) + " bytes";
}

// "PNG" from "image/png".
std::string type_name(const std::string& mime) {
  std::string name = mime.substr(mime.find('/') + 1);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// What a failure without a message came from, from its report: the kind of failure, the HTTP
// status and the service's own error code, else that the service said nothing.
std::string failure_cause(const host::CallReport& report) {
  std::vector<std::string> parts;
  if (report.http_status == 200 && !report.failure_kind) return "the answer held no image";
  if (report.failure_kind) parts.push_back(*report.failure_kind);
  if (report.http_status) parts.push_back("HTTP " + std::to_string(*report.http_status));
  if (report.service_error.is_object()) {
    for (const char* key : {"status", "type", "code"}) {
      const auto found = report.service_error.find(key);
      if (found != report.service_error.end() && found->is_string() &&
          !found->get<std::string>().empty()) {
        parts.push_back(terminal_text(found->get<std::string>()));
        break;
      }
    }
  }
  if (parts.empty()) return "the call ended without a reason";
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  if (report.http_status && !report.failure_kind && parts.size() == 1) {
    text += " without an error text";
  }
  return text;
}

}  // namespace

std::string failure_text(const host::ServiceResult& result, const host::CallReport& report) {
  return result.msg() && !result.msg()->empty() ? terminal_text(*result.msg())
                                                : failure_cause(report);
}

std::string human_summary(const host::ServiceResult& result, const std::optional<std::string>& out,
                          const host::CallReport& report) {
  std::vector<std::string> facts;
  const auto& t = report.timings;
  // How the model was sent, last on every line: a replaced or unchecked name, a shutdown ahead.
  const auto model_facts = [&] {
    if (report.model_note) facts.push_back(*report.model_note);
    if (report.model_warning) facts.push_back("warning: " + *report.model_warning);
  };
  if (!result.ok()) {
    std::string line =
        "failed: " + std::string(result.code() ? host::to_string(*result.code()) : "UNKNOWN");
    line += ": " + failure_text(result, report);
    // A block's reason, when the message does not already say it.
    for (const auto& [label, reason] : {std::pair{"blocked", report.block_reason},
                                        std::pair{"finish reason", report.finish_reason}}) {
      if (reason && (!result.msg() || result.msg()->find(*reason) == std::string::npos)) {
        facts.push_back(std::string(label) + " " + terminal_text(*reason));
      }
    }
    if (report.retry_after_s)
      facts.push_back("retry after " + fixed(*report.retry_after_s, 1) + " s");
    if (report.request_id) facts.push_back("request id " + *report.request_id);
    model_facts();
    for (std::size_t i = 0; i < facts.size(); ++i) line += (i == 0 ? " (" : ", ") + facts[i];
    return facts.empty() ? line : line + ")";
  }
  if (const std::string* link = result.link()) return "image link: " + *link;
  std::string line = "wrote " + out.value_or("?") + ":";
  if (const auto& image = report.image) {
    std::string shape;
    if (image->width && image->height) {
      shape = std::to_string(*image->width) + "x" + std::to_string(*image->height);
    }
    if (!image->mime.empty()) shape += (shape.empty() ? "" : " ") + type_name(image->mime);
    if (!shape.empty()) facts.push_back(shape);
    facts.push_back(byte_size(image->bytes));
  } else if (const host::Bytes* bytes = result.bytes()) {
    facts.push_back(byte_size(bytes->size()));
  }
  if (report.usage.output_tokens) {
    facts.push_back(with_thousands(*report.usage.output_tokens) + " output tokens");
  }
  if (report.cost) facts.push_back("about " + dollars(report.cost->usd));
  if (t.total) {
    std::string timing = fixed(*t.total, 1) + " s";
    if (t.connect && t.sent && t.first_byte) {
      timing += " (upload " + fixed(*t.sent - *t.connect, 1) + " s, waiting " +
                fixed(*t.first_byte - *t.sent, 1) + " s, download " +
                fixed(*t.total - *t.first_byte, 1) + " s)";
    }
    facts.push_back(timing);
  }
  if (report.previews > 0 && report.first_preview_s) {
    facts.push_back(std::to_string(report.previews) +
                    (report.previews == 1 ? " preview" : " previews") + ", the first after " +
                    fixed(*report.first_preview_s, 1) + " s");
  }
  if (report.files_uploaded > 0) {
    std::string uploaded = std::to_string(report.files_uploaded) +
                           (report.files_uploaded == 1 ? " reference" : " references") +
                           " uploaded (" + byte_size(report.file_bytes_uploaded) + ")";
    if (report.upload_resumes > 0) {
      uploaded += ", resumed " + std::to_string(report.upload_resumes) + "x";
    }
    facts.push_back(uploaded);
  }
  model_facts();
  for (std::size_t i = 0; i < facts.size(); ++i) line += (i == 0 ? " " : ", ") + facts[i];
  return line;
}

}  // namespace zantrel::cli
