#include "python/uuid_text.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick::python {
namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::array<std::size_t, 5> kGroupLengths = {8, 4, 4, 4, 12};

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) {
  if (c <= '9') return c - '0';
  if (c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray continuation byte).
std::size_t utf8_length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0 && lead < 0xF0) return 3;
  if (lead >= 0xC0 && lead < 0xE0) return 2;
  return 1;
}

// The message for the first character after the prefix that is neither a hexadecimal digit
// nor a hyphen, naming the whole character and its position in characters of the full text.
std::optional<std::string> invalid_character(std::string_view text, std::size_t body_start) {
  std::size_t position = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = std::min(utf8_length(static_cast<unsigned char>(text[i])), text.size() - i);
    ++position;
    if (i >= body_start && (length > 1 || (!is_hex(text[i]) && text[i] != '-'))) {
      return "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `" +
             std::string(text.substr(i, length)) + "` at " + std::to_string(position);
    }
    i += length;
  }
  return std::nullopt;
}

std::vector<std::string_view> split_groups(std::string_view body) {
  std::vector<std::string_view> groups;
  for (std::size_t start = 0;;) {
    std::size_t end = body.find('-', start);
    if (end == std::string_view::npos) {
      groups.push_back(body.substr(start));
      return groups;
    }
    groups.push_back(body.substr(start, end - start));
    start = end + 1;
  }
}

Uuid from_digits(std::string_view digits) {
  Uuid::Octets octets{};
  for (std::size_t i = 0; i < octets.size(); ++i) {
    octets[i] = static_cast<std::uint8_t>(hex_value(digits[2 * i]) << 4 | hex_value(digits[2 * i + 1]));
  }
  return Uuid(octets);
}

}  // namespace

std::expected<Uuid, std::string> parse_snapshot_id(std::string_view text) {
  const std::size_t body_start = text.starts_with(kUrnPrefix) ? kUrnPrefix.size() : 0;
  const std::string_view body = text.substr(body_start);
  if (auto message = invalid_character(text, body_start)) return std::unexpected(std::move(*message));

  if (body.find('-') == std::string_view::npos) {
    if (body.size() != 32) {
      return std::unexpected("invalid length: expected length 32 for simple format, found " +
                             std::to_string(body.size()));
    }
    return from_digits(body);
  }

  const std::vector<std::string_view> groups = split_groups(body);
  if (groups.size() != kGroupLengths.size()) {
    return std::unexpected("invalid group count: expected 5, found " + std::to_string(groups.size()));
  }
  std::string digits;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (groups[i].size() != kGroupLengths[i]) {
      return std::unexpected("invalid group length in group " + std::to_string(i + 1) + ": expected " +
                             std::to_string(kGroupLengths[i]) + ", found " + std::to_string(groups[i].size()));
    }
    digits += groups[i];
  }
  return from_digits(digits);
}

}  // namespace tarnwick::python
