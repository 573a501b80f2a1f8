#include "tools/emulator/emulator.h"

#include <httplib.h>
#include <simdjson.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/emulator/batch_engine.h"
#include "tools/emulator/event_stream.h"
#include "tools/emulator/faults.h"
#include "tools/emulator/gemini/batches.h"
#include "tools/emulator/gemini/files.h"
#include "tools/emulator/gemini/generate_content.h"
#include "tools/emulator/gemini/interactions.h"
#include "tools/emulator/images/batches.h"
#include "tools/emulator/images/files.h"
#include "tools/emulator/images/generate_images.h"
#include "tools/emulator/images/responses.h"
#include "tools/emulator/listen_backlog.h"
#include "tools/emulator/model_lineup.h"
#include "tools/emulator/picture.h"
#include "tools/emulator/request_checks.h"
#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr const char* kScenarioHeader = "X-Zantrel-Scenario";

}  // namespace

struct Emulator::State {
  EmulatorOptions options;
  // cpp-httplib's TLS server derives from the plain one.
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  int port = 0;
  mutable std::mutex mutex;
  Scenario scenario;
  mutable std::mt19937_64 random;  // draws of the scenario mix, under `mutex`
  std::set<std::string> peers;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> served{0};  // service requests of either API
  GeminiFiles files;
  BatchEngine batches{[this](const std::string& path, const std::string& body, const Scenario& s) {
    return answer_inner(path, body, s);
  }};
  GeminiBatches gemini_batches{batches, files};
  ImagesResponses responses{[this](const std::string& path, const std::string& body,
                                   const Scenario& s) { return answer_inner(path, body, s); }};
  GeminiInteractions interactions{
      [this](const std::string& path, const std::string& body, const Scenario& s) {
        return answer_inner(path, body, s);
      }};
  ImagesFiles images_files{batches};
  ImagesBatches images_batches{batches, images_files};

  std::uint64_t job_submits() const { return interactions.submits() + responses.submits(); }

  std::string base_url() const {
    return (options.tls_cert_file.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
           std::to_string(port);
  }

  Scenario current() const {
    std::lock_guard lock(mutex);
    if (options.scenario_mix) {
      return options.scenario_mix->pick(random() % options.scenario_mix->total_weight());
    }
    return scenario;
  }

  std::string request_id() {
    char id[24];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(++requests));
    return id;
  }

  void note_peer(const httplib::Request& req) {
    std::lock_guard lock(mutex);
    peers.insert(req.remote_addr + ":" + std::to_string(req.remote_port));
  }

  bool authorised(Api api, const httplib::Request& req, httplib::Response& res) const {
    // The images API takes its key as a bearer token in every dialect.
    const auto refusal = check_key(
        req, options.api_key, api == Api::kGemini ? options.dialect : AcceptedDialect::kGateway);
    if (refusal) send_json(res, refusal->status, refusal->body);
    return !refusal;
  }

  bool direct() const { return options.dialect == AcceptedDialect::kDirect; }

  AnswerContext context() const { return {direct(), base_url(), &files, options.idle_cut, port}; }

  std::optional<Scenario> scenario_for(const httplib::Request& req, httplib::Response& res) const {
    if (!req.has_header(kScenarioHeader)) return current();
    auto chosen = Scenario::parse(req.get_header_value(kScenarioHeader));
    if (!chosen) {
      send_json(res, 400,
                gemini_error_body(400, "unknown scenario in " + std::string(kScenarioHeader),
                                  "INVALID_ARGUMENT"));
    }
    return chosen;
  }

  void gemini(const httplib::Request& req, httplib::Response& res) {
    ++served;
    note_peer(req);
    if (!authorised(Api::kGemini, req, res)) return;
    auto s = scenario_for(req, res);
    if (!s) return;
    answer_generate_content(context(), req, res, *s, req.matches[1], req.matches[2]);
  }

  void images(const httplib::Request& req, httplib::Response& res, bool edits) {
    ++served;
    note_peer(req);
    // Every answer of the images API names its request, as the public one does.
    res.set_header("x-request-id", "req_" + request_id());
    if (!authorised(Api::kImages, req, res)) return;
    auto s = scenario_for(req, res);
    if (!s) return;
    answer_images(context(), req, res, *s, edits);
  }

  // One request of a batch, answered as the endpoint answers it.
  InnerAnswer answer_inner(const std::string& path, const std::string& body, const Scenario& s) {
    httplib::Request req;
    req.method = "POST";
    req.path = path;
    req.body = body;
    req.set_header("Content-Type", "application/json");
    httplib::Response res;
    // Answers made inside the emulator go through no gateway.
    AnswerContext inner = context();
    inner.idle_cut = std::chrono::milliseconds(0);
    constexpr std::string_view kModels = "/v1beta/models/";
    constexpr std::string_view kMethod = ":generateContent";
    if (path.starts_with(kModels) && path.ends_with(kMethod)) {
      const std::string model =
          path.substr(kModels.size(), path.size() - kModels.size() - kMethod.size());
      answer_generate_content(inner, req, res, s, model, "generateContent");
    } else {
      res.set_header("x-request-id", "req_" + request_id());
      answer_images(inner, req, res, s, path == "/v1/images/edits");
    }
    return {res.status == -1 ? 200 : res.status, res.body, res.get_header_value("x-request-id")};
  }

  void file(const httplib::Request& req, httplib::Response& res) {
    note_peer(req);
    unsigned long long seed = 0;
    int width = 0, height = 0;
    std::string id = req.matches[1];
    if (id == "redirect-scheme") {
      res.set_redirect("ftp://127.0.0.1/picture.png", 302);
      return;
    }
    const bool halfway = id.starts_with("halfway-");
    if (halfway) id.erase(0, 8);
    // "silent-MS-...": the headers, then nothing for MS milliseconds, then the picture.
    long silence_ms = 0;
    if (id.starts_with("silent-")) {
      const auto dash = id.find('-', 7);
      silence_ms = std::strtol(id.c_str() + 7, nullptr, 10);
      id.erase(0, dash == std::string::npos ? id.size() : dash + 1);
    }
    if (std::sscanf(id.c_str(), "%16llx-%dx%d.png", &seed, &width, &height) != 3) {
      send_json(res, 404, gemini_error_body(404, "no such file", "NOT_FOUND"));
      return;
    }
    const host::Bytes png = render_png(seed, width, height);
    if (halfway || silence_ms > 0) {
      stream_body(res, std::string(host::as_text(png)), halfway ? 8 : 1,
                  std::chrono::milliseconds(silence_ms), halfway, 0, "image/png");
      return;
    }
    res.set_content(std::string(host::as_text(png)), "image/png");
  }

  // Both batch engines and the images API's files; each takes its service's key.
  void install_batch_routes() {
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    const auto guarded = [this](Api api, const Handler& handler) {
      return [this, api, handler](const httplib::Request& req, httplib::Response& res) {
        note_peer(req);
        if (authorised(api, req, res)) handler(req, res);
      };
    };
    server->Post(R"(/v1beta/models/([^/:]+):batchGenerateContent)",
                 guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                   if (auto s = scenario_for(req, res))
                     gemini_batches.create(req.matches[1], req, res, *s);
                 }));
    server->Get("/v1beta/batches",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  gemini_batches.list(req, res);
                }));
    server->Get(R"(/v1beta/batches/([^/:]+))",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  gemini_batches.get(req.matches[1], res);
                }));
    server->Post(R"(/v1beta/batches/([^/:]+):cancel)",
                 guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                   gemini_batches.cancel(req.matches[1], res);
                 }));
    server->Get(R"(/download/v1beta/files/([^/:]+):download)",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  gemini_batches.download(req.matches[1], res);
                }));
    server->Post("/v1beta/interactions",
                 guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                   ++served;
                   if (auto s = scenario_for(req, res))
                     interactions.create(context(), req, res, *s);
                 }));
    server->Get(R"(/v1beta/interactions/([^/:]+))",
                guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                  interactions.get(req.matches[1], res);
                }));
    server->Post(R"(/v1beta/interactions/([^/:]+)/cancel)",
                 guarded(Api::kGemini, [this](const httplib::Request& req, httplib::Response& res) {
                   interactions.cancel(req.matches[1], res);
                 }));
    server->Post("/v1/responses",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   ++served;
                   if (auto s = scenario_for(req, res)) responses.create(context(), req, res, *s);
                 }));
    server->Get(R"(/v1/responses/([^/]+))",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  responses.get(req.matches[1], res);
                }));
    server->Post(R"(/v1/responses/([^/]+)/cancel)",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   responses.cancel(req.matches[1], res);
                 }));
    server->Post("/v1/files",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   images_files.upload(req, res);
                 }));
    server->Get(R"(/v1/files/([^/]+)/content)",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  images_files.content(req.matches[1], res);
                }));
    server->Post("/v1/batches",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   if (auto s = scenario_for(req, res)) images_batches.create(req, res, *s);
                 }));
    server->Get("/v1/batches",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  images_batches.list(req, res);
                }));
    server->Get(R"(/v1/batches/([^/]+))",
                guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                  images_batches.get(req.matches[1], res);
                }));
    server->Post(R"(/v1/batches/([^/]+)/cancel)",
                 guarded(Api::kImages, [this](const httplib::Request& req, httplib::Response& res) {
                   images_batches.cancel(req.matches[1], res);
                 }));
  }

  // Both services' model lists, as the day's lineup has them. Gemini's is paged; its default
  // page is smaller than the service's 50, so that a client meets the pages.
  void install_model_lists() {
    using Lister = std::function<json(const ModelLineup&, const httplib::Request&)>;
    const auto listed = [this](Api api, const Lister& list) {
      return [this, api, list](const httplib::Request& req, httplib::Response& res) {
        note_peer(req);
        if (!authorised(api, req, res)) return;
        const auto s = scenario_for(req, res);
        if (!s || answer_shared_fault(api, *s, req, res)) return;
        const auto catalogue = zantrel::config::model_catalogue();
        send_json(res, 200, list(ModelLineup(*catalogue, *s, host::utc_day()), req));
      };
    };
    server->Get("/v1beta/models",
                listed(Api::kGemini, [](const ModelLineup& lineup, const httplib::Request& req) {
                  const long size =
                      req.has_param("pageSize")
                          ? std::strtol(req.get_param_value("pageSize").c_str(), nullptr, 10)
                          : 4;
                  return lineup.gemini_page(static_cast<int>(size > 0 ? size : 4),
                                            req.get_param_value("pageToken"));
                }));
    server->Get("/v1/models",
                listed(Api::kImages, [](const ModelLineup& lineup, const httplib::Request&) {
                  return lineup.images_list();
                }));
  }

  void install_routes() {
    server->set_tcp_nodelay(true);
    // Like the real services, keep a connection for many requests (cpp-httplib closes after 5).
    server->set_keep_alive_max_count(100000);
    // cpp-httplib gives up on a peer after 5 s without progress; a client on a loaded machine
    // (sanitizer runs) may read a large body slower than that, which would cut it short.
    server->set_read_timeout(60, 0);
    server->set_write_timeout(60, 0);
    const int threads = options.threads;
    // cpp-httplib takes ownership of the queue it is handed.
    server->new_task_queue = [threads] {
      return new httplib::ThreadPool(
          static_cast<std::size_t>(threads));  // NOLINT(cppcoreguidelines-owning-memory)
    };
    server->set_payload_max_length(std::size_t{512} << 20);
    server->Post(R"(/v1beta/models/([^/:]+):(generateContent|streamGenerateContent))",
                 [this](const httplib::Request& req, httplib::Response& res) { gemini(req, res); });
    server->Post(
        "/v1/images/generations",
        [this](const httplib::Request& req, httplib::Response& res) { images(req, res, false); });
    server->Post("/v1/images/edits", [this](const httplib::Request& req, httplib::Response& res) {
      images(req, res, true);
    });
    server->Post("/upload/v1beta/files",
                 [this](const httplib::Request& req, httplib::Response& res) {
                   note_peer(req);
                   // Starting an upload takes the key; the session's address is its own authority.
                   if (!req.has_param("upload_id") && !authorised(Api::kGemini, req, res)) return;
                   if (auto s = scenario_for(req, res)) files.upload(req, res, *s, base_url());
                 });
    server->Get(R"(/v1beta/files/([^/]+))",
                [this](const httplib::Request& req, httplib::Response& res) {
                  note_peer(req);
                  if (authorised(Api::kGemini, req, res))
                    files.get(req.matches[1], res, base_url());
                });
    install_batch_routes();
    install_model_lists();
    server->Get("/emulator/stats", [this](const httplib::Request&, httplib::Response& res) {
      send_json(res, 200,
                {{"requests", served.load()},
                 {"file_uploads", files.uploads()},
                 {"file_bytes", files.bytes_uploaded()},
                 {"batch_creates", batches.creates()},
                 {"job_submits", job_submits()}});
    });
    server->Get(R"(/files/([^/]+))",
                [this](const httplib::Request& req, httplib::Response& res) { file(req, res); });
    server->Put("/emulator/scenario", [this](const httplib::Request& req, httplib::Response& res) {
      auto chosen = Scenario::parse(req.body);
      if (!chosen) {
        send_json(res, 400,
                  gemini_error_body(400, "unknown scenario: " + req.body, "INVALID_ARGUMENT"));
        return;
      }
      std::lock_guard lock(mutex);
      scenario = *chosen;
      res.status = 204;
    });
    server->Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("zantrel-emulator\n", "text/plain");
    });
    server->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, const std::exception_ptr& failure) {
          std::string what = "internal failure";
          try {
            std::rethrow_exception(failure);
          } catch (const std::exception& e) {
            what = e.what();
          } catch (...) {
          }
          send_json(res, 500, gemini_error_body(500, what, "INTERNAL"));
        });
  }
};

Emulator::Emulator(EmulatorOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  state_->scenario = state_->options.scenario;
  state_->random.seed(state_->options.seed);
  if (state_->options.tls_cert_file.empty()) {
    state_->server = std::make_unique<httplib::Server>();
  } else {
    auto tls = std::make_unique<httplib::SSLServer>(state_->options.tls_cert_file.c_str(),
                                                    state_->options.tls_key_file.c_str());
    if (!tls->is_valid()) {
      throw std::runtime_error("cannot use the TLS certificate " + state_->options.tls_cert_file +
                               " with its key");
    }
    state_->server = std::move(tls);
  }
  state_->install_routes();
}

Emulator::~Emulator() { stop(); }

int Emulator::bind() {
  // Loopback only, always.
  state_->port =
      state_->options.port == 0
          ? state_->server->bind_to_any_port("127.0.0.1")
          : (state_->server->bind_to_port("127.0.0.1", state_->options.port) ? state_->options.port
                                                                             : -1);
  if (state_->port <= 0)
    throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(state_->options.port));
  widen_listen_backlog(state_->port);
  return state_->port;
}

void Emulator::listen() { state_->server->listen_after_bind(); }

void Emulator::start() {
  bind();
  state_->thread = std::thread([this] { listen(); });
  for (int i = 0; i < 1000 && !state_->server->is_running(); ++i) std::this_thread::sleep_for(2ms);
  if (!state_->server->is_running()) throw std::runtime_error("emulator did not start");
}

void Emulator::stop() {
  state_->server->stop();
  if (state_->thread.joinable()) state_->thread.join();
}

int Emulator::port() const { return state_->port; }
std::string Emulator::base_url() const { return state_->base_url(); }

std::size_t Emulator::connections() const {
  std::lock_guard lock(state_->mutex);
  return state_->peers.size();
}

std::uint64_t Emulator::requests() const { return state_->served.load(); }
std::uint64_t Emulator::file_uploads() const { return state_->files.uploads(); }
std::uint64_t Emulator::file_bytes_uploaded() const { return state_->files.bytes_uploaded(); }
std::uint64_t Emulator::batch_creates() const { return state_->batches.creates(); }
std::uint64_t Emulator::job_submits() const { return state_->job_submits(); }

void Emulator::set_scenario(const Scenario& scenario) {
  std::lock_guard lock(state_->mutex);
  state_->scenario = scenario;
}

}  // namespace zantrel::emulator
