#include "zantrel/host/base/bytes.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace zantrel::host::internal {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this, ordinary malloc does well; above it, buffers come from fresh pages anyway.
constexpr std::size_t kLargeBuffer = std::size_t{4} << 20;

}  // namespace

void* allocate_buffer(std::size_t bytes) {
  if (bytes < kLargeBuffer) {
    if (void* small = std::malloc(bytes == 0 ? 1 : bytes)) return small;
    throw std::bad_alloc();
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* large = std::aligned_alloc(kHugePage, rounded);
  if (large == nullptr) throw std::bad_alloc();
  // Advice only: without transparent huge pages the buffer simply uses normal pages.
  ::madvise(large, rounded, MADV_HUGEPAGE);
  return large;
}

void free_buffer(void* buffer) noexcept { std::free(buffer); }

void release_spare_pages(Bytes& buffer) noexcept {
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::uintptr_t kWorthIt = std::uintptr_t{1} << 20;
  const auto base = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t begin = (base + buffer.size() + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (base + buffer.capacity()) & ~(kPage - 1);
  if (end > begin && end - begin >= kWorthIt) {
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);  // NOLINT
  }
}

}  // namespace zantrel::host::internal
