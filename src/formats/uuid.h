// Snapshot identities: 128-bit UUIDs, drawn at random (version 4) and written in the
// 36-character hyphenated lower-case form.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class Uuid {
 public:
  using Octets = std::array<std::uint8_t, 16>;

  // The nil UUID (all zero).
  constexpr Uuid() = default;
  constexpr explicit Uuid(const Octets& octets) : octets_(octets) {}

  // A fresh random version 4 UUID from the kernel's random source, so that forked processes
  // and concurrent ranks never share a sequence.
  static Uuid random_v4();

  // Accepts exactly the 36-character hyphenated form (8-4-4-4-12 hexadecimal digits, either case).
  static std::optional<Uuid> parse(std::string_view text);

  // The 36-character hyphenated lower-case form.
  std::string to_string() const;
  void append_to(std::string& out) const;

  const Octets& octets() const { return octets_; }

  friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  Octets octets_{};
};

}  // namespace tarnwick

template <>
struct std::hash<tarnwick::Uuid> {
  std::size_t operator()(const tarnwick::Uuid& id) const noexcept;
};
