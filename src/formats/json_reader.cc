#include "formats/json_reader.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace tarnwick::json {
namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim_trailing_whitespace(std::string_view token) {
  while (!token.empty() && is_whitespace(token.back())) token.remove_suffix(1);
  return token;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view token) {
  std::size_t i = 0;
  const std::size_t n = token.size();
  if (i < n && token[i] == '-') ++i;
  if (i >= n || !is_digit(token[i])) return false;
  if (token[i] == '0') {
    ++i;
  } else {
    while (i < n && is_digit(token[i])) ++i;
  }
  if (i < n && token[i] == '.') {
    ++i;
    if (i >= n || !is_digit(token[i])) return false;
    while (i < n && is_digit(token[i])) ++i;
  }
  if (i < n && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
    if (i >= n || !is_digit(token[i])) return false;
    while (i < n && is_digit(token[i])) ++i;
  }
  return i == n;
}

// What a JSON token is, for "invalid type" messages; nothing when it starts no JSON value.
std::optional<std::string> describe(std::string_view token) {
  if (token.empty()) return std::nullopt;
  std::string text;
  switch (token[0]) {
    case '"': text = "string "; text += excerpt(token); break;
    case '{': text = "map"; break;
    case '[': text = "sequence"; break;
    default:
      if (token == "null") {
        text = "null";
      } else if (token == "true" || token == "false") {
        text = "boolean `";
        text += token;
        text += '`';
      } else if (is_json_number(token)) {
        text = "number `";
        text += excerpt(token);
        text += '`';
      } else {
        return std::nullopt;
      }
  }
  return text;
}

// Rounds a double to the nearest float, giving infinity beyond the float range where the plain
// conversion would be undefined.
float to_float(double value) {
  // Halfway between FLT_MAX and the next power of two: from there on, rounding gives infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  const float sign = std::signbit(value) ? -1.0f : 1.0f;
  if (std::fabs(value) >= kOverflow) return sign * std::numeric_limits<float>::infinity();
  if (std::fabs(value) > FLT_MAX) return sign * FLT_MAX;
  return static_cast<float>(value);
}

}  // namespace

std::string excerpt(std::string_view text) {
  constexpr std::size_t kLimit = 64;
  if (text.size() <= kLimit) return std::string(text);
  std::size_t cut = kLimit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  return std::string(text.substr(0, cut)) + "...";
}

TarnwickError Reader::parse_failure(simdjson::error_code code) {
  if (code == simdjson::EMPTY) return TarnwickError::serialization("EOF while parsing a value");
  return TarnwickError::serialization(simdjson::error_message(code));
}

TarnwickError Reader::error_at(std::string message, const char* where) const {
  if (where < begin_) where = begin_;
  if (where > end_) where = end_;
  std::size_t line = 1;
  const char* line_start = begin_;
  for (const char* p = begin_; p < where; ++p) {
    if (*p == '\n') {
      ++line;
      line_start = p + 1;
    }
  }
  const auto column = static_cast<std::size_t>(where - line_start) + 1;
  message += " at line " + std::to_string(line) + " column " + std::to_string(column);
  return TarnwickError::serialization(std::move(message));
}

TarnwickError Reader::value_error(std::string message, Value& value) const {
  return error_at(std::move(message), value.raw_json_token().data());
}

TarnwickError Reader::unexpected_type(Value& value, std::string_view expected) const {
  const std::string_view token = trim_trailing_whitespace(value.raw_json_token());
  const std::optional<std::string> found = describe(token);
  if (!found) return error_at("expected a JSON value, found `" + excerpt(token) + "`", token.data());
  return error_at("invalid type: " + *found + ", expected " + std::string(expected), token.data());
}

TarnwickError Reader::syntax_error(simdjson::error_code code) const {
  auto location = document_.current_location();
  const char* where = location.error() ? end_ : location.value_unsafe();
  return error_at(simdjson::error_message(code), where);
}

TarnwickError Reader::read_error(simdjson::error_code code, Value& value, std::string_view expected) const {
  if (code == simdjson::INCORRECT_TYPE) return unexpected_type(value, expected);
  const std::string_view token = trim_trailing_whitespace(value.raw_json_token());
  if (!describe(token)) return error_at("expected a JSON value, found `" + excerpt(token) + "`", token.data());
  return error_at(simdjson::error_message(code), token.data());
}

TarnwickError Reader::number_error(simdjson::error_code code, Value& value, std::string_view expected) const {
  const std::string_view token = trim_trailing_whitespace(value.raw_json_token());
  if ((code == simdjson::INCORRECT_TYPE || code == simdjson::NUMBER_OUT_OF_RANGE) && is_json_number(token)) {
    return error_at("invalid value: number `" + excerpt(token) + "`, expected " + std::string(expected),
                    token.data());
  }
  return read_error(code, value, expected);
}

const char* Reader::last_closing_bracket() const {
  auto location = document_.current_location();
  const char* p = location.error() ? end_ : location.value_unsafe();
  while (p > begin_ && is_whitespace(p[-1])) --p;
  return p > begin_ ? p - 1 : begin_;
}

Status Reader::finish() const {
  auto location = document_.current_location();
  if (location.error()) return {};  // nothing follows the top-level value
  return fail(error_at("trailing characters", location.value_unsafe()));
}

Status Reader::read(Value& value, std::uint64_t& out) {
  if (auto code = value.get_uint64().get(out)) return fail(number_error(code, value, "u64"));
  return {};
}

Status Reader::read(Value& value, std::uint32_t& out) {
  std::uint64_t wide;
  if (auto code = value.get_uint64().get(wide)) return fail(number_error(code, value, "u32"));
  if (wide > std::numeric_limits<std::uint32_t>::max()) {
    return fail(value_error("invalid value: number `" + std::to_string(wide) + "`, expected u32", value));
  }
  out = static_cast<std::uint32_t>(wide);
  return {};
}

Status Reader::read(Value& value, std::int32_t& out) {
  std::int64_t wide;
  if (auto code = value.get_int64().get(wide)) return fail(number_error(code, value, "i32"));
  if (wide < std::numeric_limits<std::int32_t>::min() || wide > std::numeric_limits<std::int32_t>::max()) {
    return fail(value_error("invalid value: number `" + std::to_string(wide) + "`, expected i32", value));
  }
  out = static_cast<std::int32_t>(wide);
  return {};
}

Status Reader::read(Value& value, bool& out) {
  if (auto code = value.get_bool().get(out)) return fail(read_error(code, value, "a boolean"));
  return {};
}

Result<std::string_view> Reader::string(Value& value, std::string_view expected) {
  std::string_view text;
  if (auto code = value.get_string().get(text)) return fail(read_error(code, value, expected));
  return text;
}

Status Reader::read(Value& value, std::string& out) {
  TW_ASSIGN_OR_RETURN(const std::string_view text, string(value, "a string"));
  out.assign(text);
  return {};
}

Result<bool> Reader::is_null(Value& value) {
  bool null = false;
  if (auto code = value.is_null().get(null)) return fail(read_error(code, value, "null"));
  return null;
}

Status Reader::read(Value& value, std::optional<std::uint64_t>& out) {
  TW_ASSIGN_OR_RETURN(const bool null, is_null(value));
  if (null) {
    out.reset();
    return {};
  }
  std::uint64_t number;
  TW_RETURN_IF_ERROR(read(value, number));
  out = number;
  return {};
}

Status Reader::read(Value& value, std::optional<std::string>& out) {
  TW_ASSIGN_OR_RETURN(const bool null, is_null(value));
  if (null) {
    out.reset();
    return {};
  }
  TW_ASSIGN_OR_RETURN(const std::string_view text, string(value, "a string or null"));
  out.emplace(text);
  return {};
}

Status Reader::read(Value& value, std::optional<float>& out) {
  TW_ASSIGN_OR_RETURN(const bool null, is_null(value));
  if (null) {
    out.reset();
    return {};
  }
  double number;
  if (auto code = value.get_double().get(number)) return fail(number_error(code, value, "f32"));
  out = to_float(number);
  return {};
}

Status Reader::skip(Value& value, std::size_t depth) {
  simdjson::ondemand::json_type type;
  if (auto code = value.type().get(type)) return fail(read_error(code, value, "a JSON value"));
  switch (type) {
    case simdjson::ondemand::json_type::object:
    case simdjson::ondemand::json_type::array:
      if (depth == kMaxSkipDepth) return fail(value_error("recursion limit exceeded", value));
      if (type == simdjson::ondemand::json_type::array) {
        return elements(value, "an array", [&](Value& element) { return skip(element, depth + 1); });
      }
      return members(value, "an object",
                     [&](std::string_view, const char*, Value& member) { return skip(member, depth + 1); });
    case simdjson::ondemand::json_type::string:
    {
      TW_RETURN_IF_ERROR(string(value, "a string"));
      return {};
    }
    case simdjson::ondemand::json_type::boolean: {
      bool ignored;
      return read(value, ignored);
    }
    case simdjson::ondemand::json_type::null: {
      TW_ASSIGN_OR_RETURN(const bool null, is_null(value));
      if (!null) return fail(unexpected_type(value, "null"));
      return {};
    }
    case simdjson::ondemand::json_type::number: {
      const std::string_view token = trim_trailing_whitespace(value.raw_json_token());
      if (!is_json_number(token)) {
        return fail(error_at("expected a JSON value, found `" + excerpt(token) + "`", token.data()));
      }
      return {};
    }
  }
  return {};
}

}  // namespace tarnwick::json
