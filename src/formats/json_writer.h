// A small JSON emitter for the store's records: appends into one growing string, in either the
// pretty layout of the manifest or the compact layout of pack descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace tarnwick {

// Appends the layout of `format_float` (declared below) to `out`.
void append_float(std::string& out, float value);

// The shortest digits that read back to `value`: plain decimal when the decimal exponent of
// those digits lies in [-6, 13) (integral values keep ".0", e.g. "448.0"), otherwise
// d[.ddd]e<exp> with no "+" and no leading exponent zeros (e.g. "2.2321428e-7"); "null" for a
// non-finite value.
std::string format_float(float value);

class JsonWriter {
 public:
  enum class Style {
    Pretty,   // two spaces per level, one member or element per line, ": " after keys
    Compact,  // no whitespace at all
  };

  explicit JsonWriter(Style style, std::size_t expected_size = 0);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();

  // Starts a member; the next call writes its value.
  void key(std::string_view name);

  void string_value(std::string_view text);
  void null_value();
  void bool_value(bool value);
  void uint_value(std::uint64_t value);
  void int_value(std::int64_t value);
  // Non-finite values are written as null.
  void float_value(float value);

  // The text written, or a Serialization error naming the first text that was not valid UTF-8.
  [[nodiscard]] Result<std::string> finish() &&;

 private:
  void before_value();
  void line_break();
  void append_escaped(std::string_view text, bool is_key);

  std::string out_;
  Style style_;
  std::size_t depth_ = 0;
  bool container_empty_ = false;
  bool after_key_ = false;
  std::string last_key_;  // for error messages; keys may be temporaries
  std::string error_;
};

}  // namespace tarnwick
