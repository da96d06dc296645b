// A strict reader of the store's JSON records on top of simdjson's On-Demand API: it checks
// every record for duplicate and missing keys, validates the values of keys it skips, rejects
// anything after the top-level value, and reports each failure with the line and column of the
// token where it was noticed.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick::json {

using Value = simdjson::ondemand::value;

struct FieldSpec {
  std::string_view name;
  bool required;
};

// An older name accepted for the field in `slot`; it counts as that field for duplicates.
struct FieldAlias {
  std::string_view name;
  std::size_t slot;
};

// The keys of one record, in writing order; at most 32.
struct RecordSpec {
  std::string_view type_name;  // for messages, e.g. "struct TensorEntry"
  std::span<const FieldSpec> fields;
  std::span<const FieldAlias> aliases = {};
};

// At most the first 64 bytes of `text` (cut at a character boundary, "..." appended), so that a
// message never carries a whole oversized token.
std::string excerpt(std::string_view text);

class Reader {
 public:
  // Parses `text` as one JSON value handed to `parse_root(reader, value)`; only whitespace may
  // follow it. `readable_after` is how many bytes past the text may be read: with at least
  // simdjson's padding available the text is parsed in place, otherwise it is copied once.
  template <class ParseRoot>
  static Status parse(ByteView text, std::size_t readable_after, ParseRoot&& parse_root);

  // Calls `on_field(slot, value)` for the first occurrence of every known key of `spec`;
  // validates and skips unknown keys; fails on a repeated known key or a missing required one.
  template <class OnField>
  Status record(Value& value, const RecordSpec& spec, OnField&& on_field);

  // Calls `on_entry(key, key_position, value)` for each member of an object.
  template <class OnEntry>
  Status members(Value& value, std::string_view expected, OnEntry&& on_entry);

  // Calls `on_element(value)` for each element of an array.
  template <class OnElement>
  Status elements(Value& value, std::string_view expected, OnElement&& on_element);

  Status read(Value& value, std::uint64_t& out);
  Status read(Value& value, std::uint32_t& out);
  Status read(Value& value, std::int32_t& out);
  Status read(Value& value, bool& out);
  Status read(Value& value, std::string& out);
  Status read(Value& value, std::optional<std::uint64_t>& out);
  Status read(Value& value, std::optional<std::string>& out);
  // Any JSON number, rounded to the nearest float (beyond the float range: infinity).
  Status read(Value& value, std::optional<float>& out);

  // A string value, unescaped; valid until the parse ends.
  Result<std::string_view> string(Value& value, std::string_view expected);
  // True (and the null consumed) when the value is null.
  Result<bool> is_null(Value& value);

  // Validates a value whose content is not wanted, nested at most kMaxSkipDepth levels deep.
  Status skip(Value& value) { return skip(value, 0); }
  static constexpr std::size_t kMaxSkipDepth = 128;

  // A Serialization error with " at line L column C" for the byte at `where`.
  TarnwickError error_at(std::string message, const char* where) const;
  // An error about the token `value` starts with.
  TarnwickError value_error(std::string message, Value& value) const;
  TarnwickError unexpected_type(Value& value, std::string_view expected) const;
  // The '}' or ']' that closed the container iterated last.
  const char* last_closing_bracket() const;

 private:
  Reader(simdjson::ondemand::document& document, const char* begin, std::size_t size)
      : document_(document), begin_(begin), end_(begin + size) {}

  // The parser does not bound nesting, so skipping counts the depth itself rather than let a
  // hostile document exhaust the stack.
  Status skip(Value& value, std::size_t depth);
  static TarnwickError parse_failure(simdjson::error_code code);
  // An error the parser raised while moving through the document.
  TarnwickError syntax_error(simdjson::error_code code) const;
  // A value that could not be read as `expected`; numbers of the wrong kind or range count as
  // invalid values in number_error and as invalid types in read_error.
  TarnwickError read_error(simdjson::error_code code, Value& value, std::string_view expected) const;
  TarnwickError number_error(simdjson::error_code code, Value& value, std::string_view expected) const;
  Status finish() const;

  simdjson::ondemand::document& document_;
  const char* begin_;
  const char* end_;
};

// ---- Templates ----------------------------------------------------------------------------

template <class ParseRoot>
Status Reader::parse(ByteView text, std::size_t readable_after, ParseRoot&& parse_root) {
  const char* data = reinterpret_cast<const char*>(text.data());
  Bytes copy;
  simdjson::padded_string_view input;
  if (readable_after >= simdjson::SIMDJSON_PADDING) {
    input = simdjson::padded_string_view(data, text.size(), text.size() + readable_after);
  } else {
    try {
      copy.resize(text.size() + simdjson::SIMDJSON_PADDING);
    } catch (const std::bad_alloc&) {
      return fail(TarnwickError::serialization("out of memory copying " + std::to_string(text.size()) +
                                               " bytes of JSON"));
    }
    std::copy(text.begin(), text.end(), copy.begin());
    std::fill(copy.begin() + static_cast<std::ptrdiff_t>(text.size()), copy.end(), std::byte{' '});
    data = reinterpret_cast<const char*>(copy.data());
    input = simdjson::padded_string_view(data, text.size(), copy.size());
  }

  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  if (auto code = parser.iterate(input).get(document)) return fail(parse_failure(code));
  Reader reader(document, data, text.size());
  Value root;
  if (auto code = document.get_value().get(root)) {
    if (code == simdjson::SCALAR_DOCUMENT_AS_VALUE) {
      return fail(reader.error_at("invalid type: expected an object", data));
    }
    return fail(reader.syntax_error(code));
  }
  TW_RETURN_IF_ERROR(parse_root(reader, root));
  return reader.finish();
}

template <class OnField>
Status Reader::record(Value& value, const RecordSpec& spec, OnField&& on_field) {
  simdjson::ondemand::object object;
  if (auto code = value.get_object().get(object)) return fail(read_error(code, value, spec.type_name));
  std::uint32_t seen = 0;
  std::size_t hint = 0;  // keys usually come in writing order
  const std::size_t count = spec.fields.size();
  for (auto item : object) {
    simdjson::ondemand::field field;
    if (auto code = std::move(item).get(field)) return fail(syntax_error(code));
    const char* key_position = field.key().raw() - 1;
    std::string_view key;
    if (auto code = field.unescaped_key().get(key)) return fail(syntax_error(code));

    std::size_t slot = count;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = hint + k < count ? hint + k : hint + k - count;
      if (spec.fields[i].name == key) {
        slot = i;
        break;
      }
    }
    if (slot == count) {
      for (const FieldAlias& alias : spec.aliases) {
        if (alias.name == key) {
          slot = alias.slot;
          break;
        }
      }
    }
    if (slot == count) {
      TW_RETURN_IF_ERROR(skip(field.value()));
      continue;
    }
    const std::uint32_t bit = std::uint32_t{1} << slot;
    if (seen & bit) {
      return fail(error_at("duplicate field `" + std::string(spec.fields[slot].name) + "`", key_position));
    }
    seen |= bit;
    hint = slot + 1 < count ? slot + 1 : 0;
    TW_RETURN_IF_ERROR(on_field(slot, field.value()));
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (spec.fields[i].required && !(seen & (std::uint32_t{1} << i))) {
      return fail(error_at("missing field `" + std::string(spec.fields[i].name) + "`", last_closing_bracket()));
    }
  }
  return {};
}

template <class OnEntry>
Status Reader::members(Value& value, std::string_view expected, OnEntry&& on_entry) {
  simdjson::ondemand::object object;
  if (auto code = value.get_object().get(object)) return fail(read_error(code, value, expected));
  for (auto item : object) {
    simdjson::ondemand::field field;
    if (auto code = std::move(item).get(field)) return fail(syntax_error(code));
    const char* key_position = field.key().raw() - 1;
    std::string_view key;
    if (auto code = field.unescaped_key().get(key)) return fail(syntax_error(code));
    TW_RETURN_IF_ERROR(on_entry(key, key_position, field.value()));
  }
  return {};
}

template <class OnElement>
Status Reader::elements(Value& value, std::string_view expected, OnElement&& on_element) {
  simdjson::ondemand::array array;
  if (auto code = value.get_array().get(array)) return fail(read_error(code, value, expected));
  for (auto item : array) {
    Value element;
    if (auto code = std::move(item).get(element)) return fail(syntax_error(code));
    TW_RETURN_IF_ERROR(on_element(element));
  }
  return {};
}

}  // namespace tarnwick::json
