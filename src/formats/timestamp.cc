#include "formats/timestamp.h"

#include <cstdint>

namespace tarnwick {
namespace {

using std::chrono::nanoseconds;

void append_digits(std::string& out, std::uint64_t value, int width) {
  char buffer[9];
  for (int i = width - 1; i >= 0; --i) {
    buffer[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(buffer, static_cast<std::size_t>(width));
}

// Reads exactly `width` decimal digits at `pos`, advancing it.
bool read_digits(std::string_view text, std::size_t& pos, int width, int& value) {
  if (text.size() - pos < static_cast<std::size_t>(width)) return false;
  value = 0;
  for (int i = 0; i < width; ++i) {
    const char c = text[pos++];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

void append_timestamp(std::string& out, Timestamp time) {
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss clock(time - day);
  append_digits(out, static_cast<std::uint64_t>(static_cast<int>(date.year())), 4);
  out += '-';
  append_digits(out, static_cast<unsigned>(date.month()), 2);
  out += '-';
  append_digits(out, static_cast<unsigned>(date.day()), 2);
  out += 'T';
  append_digits(out, static_cast<std::uint64_t>(clock.hours().count()), 2);
  out += ':';
  append_digits(out, static_cast<std::uint64_t>(clock.minutes().count()), 2);
  out += ':';
  append_digits(out, static_cast<std::uint64_t>(clock.seconds().count()), 2);
  const auto fraction = static_cast<std::uint64_t>(clock.subseconds().count());
  if (fraction != 0) {
    out += '.';
    if (fraction % 1'000'000 == 0) {
      append_digits(out, fraction / 1'000'000, 3);
    } else if (fraction % 1'000 == 0) {
      append_digits(out, fraction / 1'000, 6);
    } else {
      append_digits(out, fraction, 9);
    }
  }
  out += 'Z';
}

std::string format_timestamp(Timestamp time) {
  std::string out;
  append_timestamp(out, time);
  return out;
}

std::optional<Timestamp> parse_timestamp(std::string_view text) {
  std::size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!read_digits(text, pos, 4, year) || !expect(text, pos, '-') || !read_digits(text, pos, 2, month) ||
      !expect(text, pos, '-') || !read_digits(text, pos, 2, day)) {
    return std::nullopt;
  }
  if (pos >= text.size() || (text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ')) return std::nullopt;
  ++pos;
  if (!read_digits(text, pos, 2, hour) || !expect(text, pos, ':') || !read_digits(text, pos, 2, minute) ||
      !expect(text, pos, ':') || !read_digits(text, pos, 2, second)) {
    return std::nullopt;
  }
  if (hour > 23 || minute > 59 || second > 60) return std::nullopt;

  std::int64_t fraction_ns = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    const std::size_t first = pos;
    std::int64_t scale = 100'000'000;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction_ns += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == first) return std::nullopt;
  }

  std::int64_t offset_seconds = 0;
  if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const bool negative = text[pos++] == '-';
    int offset_hours, offset_minutes;
    if (!read_digits(text, pos, 2, offset_hours) || !expect(text, pos, ':') ||
        !read_digits(text, pos, 2, offset_minutes) || offset_hours > 23 || offset_minutes > 59) {
      return std::nullopt;
    }
    offset_seconds = (offset_hours * 3600 + offset_minutes * 60) * (negative ? -1 : 1);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  const std::int64_t seconds = days * 86'400 + hour * 3'600 + minute * 60 + second - offset_seconds;
  std::int64_t total_ns;
  if (__builtin_mul_overflow(seconds, std::int64_t{1'000'000'000}, &total_ns) ||
      __builtin_add_overflow(total_ns, fraction_ns, &total_ns)) {
    return std::nullopt;
  }
  return Timestamp(nanoseconds(total_ns));
}

}  // namespace tarnwick
