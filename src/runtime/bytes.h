// Byte buffers shared by every layer.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace tarnwick {

// Leaves new elements uninitialised, so that sizing a buffer that a kernel is about to overwrite
// does not pay for a zero fill first.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// An owned byte buffer. `resize` does not zero what it adds; use `assign(n, std::byte{0})`
// where zeros are wanted.
using Bytes = std::vector<std::byte, DefaultInitAllocator<std::byte>>;
using ByteView = std::span<const std::byte>;
using MutableByteView = std::span<std::byte>;

inline ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}
inline std::string_view as_text(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline Bytes to_bytes(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }
inline Bytes to_bytes(std::string_view text) { return to_bytes(as_bytes(text)); }

}  // namespace tarnwick
