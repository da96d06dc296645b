#include "runtime/error.h"

#include <cstring>
#include <string_view>

namespace tarnwick {

TarnwickError TarnwickError::from_errno(int err, std::string_view context) {
  std::string text(context);
  if (!text.empty()) text += ": ";
  text += std::strerror(err);
  text += " (os error " + std::to_string(err) + ")";
  return io(std::move(text));
}

std::string TarnwickError::message() const {
  switch (kind_) {
    case ErrorKind::Io: return "IO error: " + text_;
    case ErrorKind::Serialization: return "Serialization error: " + text_;
    case ErrorKind::Compression: return "Compression error: " + text_;
    case ErrorKind::CheckpointNotFound: return "Checkpoint not found: " + text_;
    case ErrorKind::Integrity: return "Integrity check failed: expected " + text_ + ", got " + found_;
    case ErrorKind::Delta: return "Delta error: " + text_;
    case ErrorKind::Storage: return "Storage backend error: " + text_;
    case ErrorKind::InvalidConfig: return "Invalid configuration: " + text_;
  }
  return text_;
}

std::string panic_message(std::exception_ptr payload) {
  if (!payload) return "unknown payload";
  try {
    std::rethrow_exception(payload);
  } catch (const std::exception& e) {
    return e.what();
  } catch (const std::string& s) {
    return s;
  } catch (const char* s) {
    return s ? std::string(s) : std::string("unknown payload");
  } catch (...) {
    return "unknown payload";
  }
}

}  // namespace tarnwick
