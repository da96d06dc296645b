#include "formats/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace tarnwick {
namespace {

constexpr std::size_t kTextLength = 36;

constexpr bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Fills `out` from getrandom(2); falls back to std::random_device only if the call is unavailable.
void fill_random(std::uint8_t* out, std::size_t length) {
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t got = ::getrandom(out + filled, length - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled == length) return;
  std::random_device device;
  for (; filled < length; ++filled) out[filled] = static_cast<std::uint8_t>(device());
}

}  // namespace

Uuid Uuid::random_v4() {
  Octets octets;
  fill_random(octets.data(), octets.size());
  octets[6] = static_cast<std::uint8_t>((octets[6] & 0x0F) | 0x40);  // version 4
  octets[8] = static_cast<std::uint8_t>((octets[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Uuid(octets);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != kTextLength) return std::nullopt;
  Octets octets;
  std::size_t octet = 0;
  for (std::size_t i = 0; i < kTextLength;) {
    if (is_hyphen_position(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    octets[octet++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return Uuid(octets);
}

void Uuid::append_to(std::string& out) const {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[kTextLength];
  std::size_t pos = 0;
  for (std::size_t i = 0; i < octets_.size(); ++i) {
    if (is_hyphen_position(pos)) text[pos++] = '-';
    text[pos++] = kDigits[octets_[i] >> 4];
    text[pos++] = kDigits[octets_[i] & 0x0F];
  }
  out.append(text, kTextLength);
}

std::string Uuid::to_string() const {
  std::string out;
  append_to(out);
  return out;
}

}  // namespace tarnwick

std::size_t std::hash<tarnwick::Uuid>::operator()(const tarnwick::Uuid& id) const noexcept {
  std::uint64_t high;
  std::uint64_t low;
  std::memcpy(&high, id.octets().data(), 8);
  std::memcpy(&low, id.octets().data() + 8, 8);
  return std::hash<std::uint64_t>{}(high ^ (low * 0x9E3779B97F4A7C15ULL));
}
