// Wall-clock instants of the store's records and their RFC 3339 text.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Always UTC.
using Timestamp = std::chrono::sys_time<std::chrono::nanoseconds>;

// RFC 3339 in UTC with the suffix Z, e.g. "2025-03-01T12:00:05.250Z": the fraction is left out
// when zero and otherwise has 3, 6 or 9 digits, the fewest that are exact.
std::string format_timestamp(Timestamp time);
void append_timestamp(std::string& out, Timestamp time);

// Any RFC 3339 timestamp: "T", "t" or a space between date and time, "Z"/"z" or a numeric
// offset (converted to UTC), a fraction of any length (digits past nanoseconds are dropped) and
// a leap second 60 (read as the first second of the next minute). Nothing when malformed or
// outside the range a Timestamp holds.
std::optional<Timestamp> parse_timestamp(std::string_view text);

}  // namespace tarnwick
