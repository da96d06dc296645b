// The one error type of the engine and the result type every fallible operation returns.
#pragma once

#include <exception>
#include <expected>
#include <string>
#include <utility>

namespace tarnwick {

enum class ErrorKind {
  Io,
  Serialization,
  Compression,
  CheckpointNotFound,
  Integrity,
  Delta,
  Storage,
  InvalidConfig,
};

class TarnwickError {
 public:
  // An operating-system failure, described by `text` (for example strerror's text, possibly
  // prefixed by what was being done).
  static TarnwickError io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
  // An operating-system failure given by its errno value, optionally with context in front.
  static TarnwickError from_errno(int err, std::string_view context = {});
  static TarnwickError serialization(std::string text) { return {ErrorKind::Serialization, std::move(text)}; }
  static TarnwickError compression(std::string text) { return {ErrorKind::Compression, std::move(text)}; }
  static TarnwickError not_found(std::string what) { return {ErrorKind::CheckpointNotFound, std::move(what)}; }
  static TarnwickError integrity(std::string expected, std::string found) {
    return {ErrorKind::Integrity, std::move(expected), std::move(found)};
  }
  static TarnwickError delta(std::string text) { return {ErrorKind::Delta, std::move(text)}; }
  static TarnwickError storage(std::string text) { return {ErrorKind::Storage, std::move(text)}; }
  static TarnwickError invalid_config(std::string text) { return {ErrorKind::InvalidConfig, std::move(text)}; }

  ErrorKind kind() const { return kind_; }
  // The payload text; for Integrity the expected text.
  const std::string& text() const { return text_; }
  // For Integrity the found text; empty otherwise.
  const std::string& found() const { return found_; }
  // The rendered message, for example "Storage backend error: <text>".
  std::string message() const;

  bool operator==(const TarnwickError&) const = default;

 private:
  TarnwickError(ErrorKind kind, std::string text, std::string found = {})
      : kind_(kind), text_(std::move(text)), found_(std::move(found)) {}

  ErrorKind kind_;
  std::string text_;
  std::string found_;
};

template <class T>
using Result = std::expected<T, TarnwickError>;
using Status = std::expected<void, TarnwickError>;

inline std::unexpected<TarnwickError> fail(TarnwickError error) { return std::unexpected(std::move(error)); }

// The text of an unexpected failure caught inside a background worker: the exception's own text
// when it carries one, otherwise "unknown payload".
std::string panic_message(std::exception_ptr payload);

}  // namespace tarnwick

#define TW_CONCAT_INNER(a, b) a##b
#define TW_CONCAT(a, b) TW_CONCAT_INNER(a, b)

// Returns the error of a Result/Status early from the enclosing function.
#define TW_RETURN_IF_ERROR(expr)                                        \
  do {                                                                  \
    auto&& tw_status_ = (expr);                                         \
    if (!tw_status_) return ::std::unexpected(std::move(tw_status_).error()); \
  } while (false)

// Unwraps a Result into `lhs` (a declaration or an lvalue), or returns its error early.
#define TW_ASSIGN_OR_RETURN(lhs, expr) TW_ASSIGN_OR_RETURN_IMPL(TW_CONCAT(tw_result_, __LINE__), lhs, expr)
#define TW_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)                  \
  auto tmp = (expr);                                              \
  if (!tmp) return ::std::unexpected(std::move(tmp).error());     \
  lhs = std::move(*tmp)
