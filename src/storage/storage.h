// The one way the engine touches bytes at rest: whole objects addressed by "/"-separated keys
// relative to the store root, and the local filesystem backend.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

class StorageBackend {
 public:
  virtual ~StorageBackend() = default;

  // Writes `bytes` as the whole object `key`, replacing any previous object atomically.
  [[nodiscard]] Status put(std::string_view key, ByteView bytes) const {
    ByteView parts[] = {bytes};
    return put_parts(key, parts);
  }
  // Writes the parts back to back as one object, atomically.
  [[nodiscard]] virtual Status put_parts(std::string_view key, std::span<const ByteView> parts) const = 0;
  // The whole object; CheckpointNotFound(key) when it does not exist.
  [[nodiscard]] virtual Result<Bytes> get(std::string_view key) const = 0;
  // At most `length` bytes from `offset`; shorter when the object ends first.
  [[nodiscard]] virtual Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                                                std::uint64_t length) const = 0;
  [[nodiscard]] virtual Result<bool> exists(std::string_view key) const = 0;
  // Removes the object; a missing object is success.
  [[nodiscard]] virtual Status delete_object(std::string_view key) const = 0;
  // Removes the directory behind `prefix` when it is empty; never fails.
  [[nodiscard]] virtual Status remove_dir(std::string_view prefix) const = 0;
  // Every object below `prefix`, as keys relative to the root, in no particular order.
  [[nodiscard]] virtual Result<std::vector<std::string>> list(std::string_view prefix) const = 0;
};

using StorageHandle = std::shared_ptr<const StorageBackend>;

}  // namespace tarnwick
