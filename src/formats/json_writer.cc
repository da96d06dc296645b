#include "formats/json_writer.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tarnwick {
namespace {

// Decimal exponents of the shortest digits for which the plain layout is used.
constexpr int kPlainMinExponent = -6;
constexpr int kPlainEndExponent = 13;

template <class Int>
void append_int(std::string& out, Int value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

void append_float(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0f) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-1.2345679e+05".
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  char digits[16];
  std::size_t count = 0;
  for (char c : mantissa) {
    if (c != '.') digits[count++] = c;
  }
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  if (exponent < kPlainMinExponent || exponent >= kPlainEndExponent) {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits + 1, count - 1);
    }
    out += 'e';
    append_int(out, exponent);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, count);
    return;
  }
  const auto integral_digits = static_cast<std::size_t>(exponent) + 1;
  if (integral_digits >= count) {
    out.append(digits, count);
    out.append(integral_digits - count, '0');
    out += ".0";
    return;
  }
  out.append(digits, integral_digits);
  out += '.';
  out.append(digits + integral_digits, count - integral_digits);
}

std::string format_float(float value) {
  std::string out;
  append_float(out, value);
  return out;
}

JsonWriter::JsonWriter(Style style, std::size_t expected_size) : style_(style) { out_.reserve(expected_size); }

void JsonWriter::line_break() {
  if (style_ != Style::Pretty) return;
  out_ += '\n';
  out_.append(2 * depth_, ' ');
}

// Writes what separates this value from the previous element of the enclosing array.
void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (depth_ == 0) return;
  if (!container_empty_) out_ += ',';
  container_empty_ = false;
  line_break();
}

void JsonWriter::begin_object() {
  before_value();
  out_ += '{';
  ++depth_;
  container_empty_ = true;
}

void JsonWriter::end_object() {
  --depth_;
  if (!container_empty_) line_break();
  out_ += '}';
  container_empty_ = false;
}

void JsonWriter::begin_array() {
  before_value();
  out_ += '[';
  ++depth_;
  container_empty_ = true;
}

void JsonWriter::end_array() {
  --depth_;
  if (!container_empty_) line_break();
  out_ += ']';
  container_empty_ = false;
}

void JsonWriter::key(std::string_view name) {
  if (!container_empty_) out_ += ',';
  container_empty_ = false;
  line_break();
  append_escaped(name, true);
  out_ += style_ == Style::Pretty ? ": " : ":";
  after_key_ = true;
  last_key_.assign(name);
}

void JsonWriter::string_value(std::string_view text) {
  before_value();
  append_escaped(text, false);
}

void JsonWriter::null_value() {
  before_value();
  out_ += "null";
}

void JsonWriter::bool_value(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void JsonWriter::uint_value(std::uint64_t value) {
  before_value();
  append_int(out_, value);
}

void JsonWriter::int_value(std::int64_t value) {
  before_value();
  append_int(out_, value);
}

void JsonWriter::float_value(float value) {
  before_value();
  append_float(out_, value);
}

// Escapes only '"', '\' and control characters; everything else, including '/' and non-ASCII
// UTF-8, is copied as is.
void JsonWriter::append_escaped(std::string_view text, bool is_key) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_ += '"';
  bool non_ascii = false;
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      non_ascii = true;
      continue;
    }
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out_.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\b': out_ += "\\b"; break;
      case '\f': out_ += "\\f"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        out_ += "\\u00";
        out_ += kHex[c >> 4];
        out_ += kHex[c & 0x0F];
    }
  }
  out_.append(text.data() + run_start, text.size() - run_start);
  out_ += '"';
  if (non_ascii && error_.empty() && !simdjson::validate_utf8(text.data(), text.size())) {
    error_ = is_key ? "a key after `" + last_key_ + "` is not valid UTF-8"
                    : "the value of `" + last_key_ + "` is not valid UTF-8";
  }
}

Result<std::string> JsonWriter::finish() && {
  if (!error_.empty()) return fail(TarnwickError::serialization(std::move(error_)));
  return std::move(out_);
}

}  // namespace tarnwick
