#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zantrel::host {

namespace internal {

// Storage for byte buffers. Large ones (image payloads, bodies) are aligned to 2 MiB and marked
// for transparent huge pages, which cuts the page faults of a fresh 40 MB buffer from ten
// thousand to a few dozen.
void* allocate_buffer(std::size_t bytes);
void free_buffer(void* buffer) noexcept;

// Allocator whose value-less construct() leaves bytes uninitialised, so that a buffer that is
// about to be overwritten (by a decoder, a socket read, a file read) is not zeroed first.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  using std::allocator<T>::allocator;
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_buffer(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) noexcept { free_buffer(p); }
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    std::construct_at(p, std::forward<Args>(args)...);
  }
};

}  // namespace internal

// Image content: a byte string, distinct from text (std::string).
using Bytes = std::vector<std::uint8_t, internal::DefaultInitAllocator<std::uint8_t>>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline std::string_view as_text(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

namespace internal {
// Gives the whole pages between a buffer's size and its capacity back to the system when they
// add up to something worth a system call (a decoded image inside the larger body it came in).
// The capacity stays: the pages come back, zeroed, if the buffer grows into them.
void release_spare_pages(Bytes& buffer) noexcept;
}  // namespace internal

}  // namespace zantrel::host
