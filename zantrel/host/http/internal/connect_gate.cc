#include "zantrel/host/http/internal/connect_gate.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace zantrel::host::internal {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// A handshake is begun anew after this many times the host's usual handshake, within these
// bounds; the upper one is the kernel's own first wait for a lost handshake.
constexpr int kPatienceFactor = 4;
constexpr milliseconds kMinPatience{10};
constexpr milliseconds kMaxPatience{1000};
// Hosts remembered beyond this many are forgotten when idle (link fetches reach many).
constexpr std::size_t kMaxHosts = 1024;

}  // namespace

ConnectGate::Pass& ConnectGate::Pass::operator=(Pass&& other) noexcept {
  if (this != &other) {
    release();
    gate_ = std::exchange(other.gate_, nullptr);
    host_ = std::move(other.host_);
  }
  return *this;
}

void ConnectGate::Pass::release() {
  if (gate_ != nullptr) std::exchange(gate_, nullptr)->leave(host_);
}

milliseconds ConnectGate::Pass::patience() const {
  if (gate_ == nullptr) return kMaxPatience;
  std::lock_guard lock(gate_->mutex_);
  const microseconds usual = gate_->hosts_[host_].handshake;
  if (usual.count() == 0) return kMaxPatience;
  return std::clamp(std::chrono::ceil<milliseconds>(usual * kPatienceFactor), kMinPatience,
                    kMaxPatience);
}

void ConnectGate::Pass::note_handshake(microseconds took) const {
  if (gate_ == nullptr) return;
  std::lock_guard lock(gate_->mutex_);
  microseconds& usual = gate_->hosts_[host_].handshake;
  // As TCP smooths round trips: an eighth of each new one.
  usual = usual.count() == 0 ? took : usual + (took - usual) / 8;
}

bool ConnectGate::enter(const std::string& url, Pass& pass, Clock::time_point until) {
  if (per_host_ == 0) return true;
  std::string host = url.substr(0, url.find("://") + 3) + authority_of(url);
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::unique_lock lock(mutex_);
  if (hosts_.size() > kMaxHosts) {
    std::erase_if(hosts_, [](const auto& known) { return known.second.opening == 0; });
  }
  Host& entry = hosts_[host];
  const auto free = [&] { return entry.opening < per_host_; };
  if (!free() && !freed_.wait_until(lock, until, free)) return false;
  ++entry.opening;
  pass = Pass(this, std::move(host));
  return true;
}

void ConnectGate::leave(const std::string& host) {
  {
    std::lock_guard lock(mutex_);
    --hosts_[host].opening;
  }
  freed_.notify_all();
}

std::string authority_of(const std::string& url) {
  const auto start = url.find("://");
  if (start == std::string::npos) return url;
  const auto end = url.find_first_of("/?#", start + 3);
  std::string authority = url.substr(start + 3, end == std::string::npos ? end : end - start - 3);
  // Never repeat credentials written into a link.
  if (const auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  return authority;
}

}  // namespace zantrel::host::internal
