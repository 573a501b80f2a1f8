#include "zantrel/host/batches/service_batches.h"

#include <exception>
#include <type_traits>
#include <utility>

#include "zantrel/host/call/batch_protocol.h"
#include "zantrel/host/call/batch_transfer.h"
#include "zantrel/host/call/call_steps.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

using internal::BatchCall;
using internal::BatchProtocol;
using internal::Exchange;
using internal::Task;

constexpr int kMaxListPages = 20;

std::string batch_url(const BatchProtocol& protocol, const std::string& base_url,
                      const std::string& id) {
  return base_url + protocol.shape().paths.batch + id;
}

std::string download_url(const BatchProtocol& protocol, const std::string& base_url,
                         const std::string& file) {
  const internal::BatchPaths& paths = protocol.shape().paths;
  return base_url + paths.download + file + paths.download_end;
}

// A batch's description, the service's 200 answer at its address.
Task<HttpResponse> described(const BatchProtocol& protocol, const std::string& id,
                             const BatchCall& call) {
  const std::string url = batch_url(protocol, call.base_url, id);
  HttpResponse response = co_await internal::get(call, url);
  internal::require_status(response);
  co_return response;
}

Task<BatchStatus> get_batch(const BatchProtocol& protocol, const std::string& id,
                            const BatchCall& call) {
  const HttpResponse response = co_await described(protocol, id, call);
  co_return protocol.status_of(response.text(), id);
}

Task<internal::BatchOutput> batch_output(const BatchProtocol& protocol, const std::string& id,
                                         const BatchCall& call) {
  const HttpResponse response = co_await described(protocol, id, call);
  co_return protocol.output_of(response.text(), id);
}

Task<BatchPage> list_batches(const BatchProtocol& protocol, const std::string& page_token,
                             const BatchCall& call) {
  const internal::BatchPaths& paths = protocol.shape().paths;
  std::string url = call.base_url + paths.list;
  if (!page_token.empty()) url += paths.page + page_token;
  const HttpResponse response = co_await internal::get(call, url);
  internal::require_status(response);
  co_return protocol.page_of(response.text());
}

Task<bool> cancel_batch(const BatchProtocol& protocol, const std::string& id,
                        const BatchCall& call) {
  const std::string url = batch_url(protocol, call.base_url, id) + protocol.shape().paths.cancel;
  const HttpResponse response = co_await internal::post_json(call, url, "{}");
  internal::require_status(response);
  co_return true;
}

// What a call that does not block keeps of the engine while it runs.
struct Owned {
  std::shared_ptr<const BatchProtocol> protocol;
  std::shared_ptr<HttpClient> http;
  std::string base_url;
  Headers::value_type auth;
  CallOptions options;
};

// Runs `step(protocol, call)` on the event engine and hands its value or failure to `promise`.
template <class T, class Step>
Task<bool> settle(Owned owned, Step step, std::shared_ptr<std::promise<T>> promise) {
  const Exchange exchange(*owned.http, Exchange::Mode::kNonBlocking,
                          internal::limits_of(owned.options));
  const BatchCall call{exchange, owned.base_url, owned.auth,
                       effective_timeout(owned.options.timeout, *owned.http)};
  std::exception_ptr failure;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await step(*owned.protocol, call);
      promise->set_value();
    } else {
      promise->set_value(co_await step(*owned.protocol, call));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) promise->set_exception(failure);
  co_return true;
}

template <class T, class Step>
std::future<T> start(Owned owned, Step step) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  internal::run_detached(settle<T>(std::move(owned), std::move(step), promise), [](bool) {});
  return future;
}

}  // namespace

ServiceBatches::ServiceBatches(std::shared_ptr<const BatchProtocol> protocol,
                               std::shared_ptr<HttpClient> http, std::string base_url,
                               Headers::value_type auth)
    : protocol_(std::move(protocol)),
      http_(std::move(http)),
      base_url_(std::move(base_url)),
      auth_(std::move(auth)) {}

std::size_t ServiceBatches::max_requests() const { return protocol_->shape().max_requests; }
std::size_t ServiceBatches::max_bytes() const { return protocol_->shape().max_bytes; }

namespace {

// Runs `step(call)` to its end on this thread.
template <class Step>
auto run_here(HttpClient& http, const std::string& base_url, const Headers::value_type& auth,
              const CallOptions& options, Step step) {
  const Exchange exchange(http, Exchange::Mode::kBlocking, internal::limits_of(options));
  const BatchCall call{exchange, base_url, auth, effective_timeout(options.timeout, http)};
  return step(call).run_blocking();
}

}  // namespace

CreatedBatch ServiceBatches::create(const std::vector<BatchLine>& lines, const std::string& name,
                                    const CallOptions& options) const {
  return run_here(*http_, base_url_, auth_, options,
                  [&](const BatchCall& call) { return protocol_->create(lines, name, call); });
}

BatchStatus ServiceBatches::get(const std::string& id, const CallOptions& options) const {
  return run_here(*http_, base_url_, auth_, options,
                  [&](const BatchCall& call) { return get_batch(*protocol_, id, call); });
}

BatchPage ServiceBatches::list(const std::string& page_token, const CallOptions& options) const {
  return run_here(*http_, base_url_, auth_, options, [&](const BatchCall& call) {
    return list_batches(*protocol_, page_token, call);
  });
}

std::optional<std::string> ServiceBatches::find(const std::string& name,
                                                const CallOptions& options) const {
  std::string token;
  for (int page = 0; page < kMaxListPages; ++page) {
    const BatchPage listed = list(token, options);
    for (const BatchStatus& batch : listed.batches) {
      if (batch.name == name) return batch.id;
    }
    if (listed.next_page.empty()) return std::nullopt;
    token = listed.next_page;
  }
  return std::nullopt;
}

void ServiceBatches::cancel(const std::string& id, const CallOptions& options) const {
  run_here(*http_, base_url_, auth_, options,
           [&](const BatchCall& call) { return cancel_batch(*protocol_, id, call); });
}

UploadedFile ServiceBatches::upload_file(ByteView bytes, const std::string& mime_type,
                                         const std::string& display_name,
                                         const CallOptions& options) const {
  return run_here(*http_, base_url_, auth_, options, [&](const BatchCall& call) {
    return protocol_->upload(bytes, mime_type, display_name, call);
  });
}

void ServiceBatches::download_file(const std::string& file, const std::filesystem::path& path,
                                   const CallOptions& options) const {
  run_here(*http_, base_url_, auth_, options, [&](const BatchCall& call) {
    return internal::download(call, download_url(*protocol_, base_url_, file), path);
  });
}

void ServiceBatches::results(const std::string& id, const std::filesystem::path& scratch,
                             const AnswerSink& each, const CallOptions& options,
                             const UnreadableSink& unreadable) const {
  const internal::BatchOutput output =
      run_here(*http_, base_url_, auth_, options,
               [&](const BatchCall& call) { return batch_output(*protocol_, id, call); });
  if (output.inlined) {
    protocol_->read_inlined(*output.inlined, each);
    return;
  }
  for (const std::string& file : output.files) {
    download_file(file, scratch, options);
    read_results_file(scratch, each, unreadable);
    std::filesystem::remove(scratch);
  }
}

void ServiceBatches::read_results_file(const std::filesystem::path& path, const AnswerSink& each,
                                       const UnreadableSink& unreadable) const {
  internal::each_json_answer(path, protocol_->shape().read_line, each, unreadable);
}

std::future<CreatedBatch> ServiceBatches::create_async(std::vector<BatchLine> lines,
                                                       std::string name,
                                                       CallOptions options) const {
  return start<CreatedBatch>({protocol_, http_, base_url_, auth_, std::move(options)},
                             [lines = std::move(lines), name = std::move(name)](
                                 const BatchProtocol& protocol, const BatchCall& call) {
                               return protocol.create(lines, name, call);
                             });
}

std::future<BatchStatus> ServiceBatches::get_async(std::string id, CallOptions options) const {
  return start<BatchStatus>(
      {protocol_, http_, base_url_, auth_, std::move(options)},
      [id = std::move(id)](const BatchProtocol& protocol, const BatchCall& call) {
        return get_batch(protocol, id, call);
      });
}

std::future<BatchPage> ServiceBatches::list_async(std::string page_token,
                                                  CallOptions options) const {
  return start<BatchPage>(
      {protocol_, http_, base_url_, auth_, std::move(options)},
      [token = std::move(page_token)](const BatchProtocol& protocol, const BatchCall& call) {
        return list_batches(protocol, token, call);
      });
}

std::future<void> ServiceBatches::cancel_async(std::string id, CallOptions options) const {
  return start<void>({protocol_, http_, base_url_, auth_, std::move(options)},
                     [id = std::move(id)](const BatchProtocol& protocol, const BatchCall& call) {
                       return cancel_batch(protocol, id, call);
                     });
}

std::future<UploadedFile> ServiceBatches::upload_file_async(Bytes bytes, std::string mime_type,
                                                            std::string display_name,
                                                            CallOptions options) const {
  return start<UploadedFile>({protocol_, http_, base_url_, auth_, std::move(options)},
                             [bytes = std::move(bytes), mime_type = std::move(mime_type),
                              display_name = std::move(display_name)](const BatchProtocol& protocol,
                                                                      const BatchCall& call) {
                               return protocol.upload(bytes, mime_type, display_name, call);
                             });
}

std::future<void> ServiceBatches::download_file_async(const std::string& file,
                                                      std::filesystem::path path,
                                                      CallOptions options) const {
  std::string url = download_url(*protocol_, base_url_, file);
  return start<void>(
      {protocol_, http_, base_url_, auth_, std::move(options)},
      [url = std::move(url), path = std::move(path)](const BatchProtocol&, const BatchCall& call) {
        return internal::download(call, url, path);
      });
}

}  // namespace zantrel::host
