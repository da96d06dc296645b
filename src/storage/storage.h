// The one way the engine touches bytes at rest: whole objects addressed by "/"-separated keys
// relative to the store root, and the local filesystem backend.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

// One object written piece by piece. Nothing of it is visible until `commit` replaces the object
// atomically; a writer released without a successful commit leaves no trace.
class ObjectWriter {
 public:
  virtual ~ObjectWriter() = default;
  // Appends the parts, back to back, after what was appended before.
  [[nodiscard]] virtual Status append(std::span<const ByteView> parts) = 0;
  // Replaces bytes already appended, for a header that is known only at the end.
  [[nodiscard]] virtual Status overwrite(std::uint64_t offset, ByteView bytes) = 0;
  [[nodiscard]] virtual Status commit() = 0;
};

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
  // A writer for an object whose pieces arrive over time (a pack written while its tensors are
  // still being encoded). By default the pieces are collected in memory and handed to
  // put_parts on commit; backends that can stream override it. The backend must outlive it.
  [[nodiscard]] virtual Result<std::unique_ptr<ObjectWriter>> open_writer(std::string_view key) const;
  // The whole object; CheckpointNotFound(key) when it does not exist.
  [[nodiscard]] virtual Result<Bytes> get(std::string_view key) const = 0;
  // At most `length` bytes from `offset`; shorter when the object ends first.
  [[nodiscard]] virtual Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                                                std::uint64_t length) const = 0;
  [[nodiscard]] virtual Result<bool> exists(std::string_view key) const = 0;
  // Removes the object; a missing object is success.
  [[nodiscard]] virtual Status delete_object(std::string_view key) const = 0;
  // Removes the directory behind `prefix` when it is empty; fails only for a prefix that
  // check_key refuses (as every operation does).
  [[nodiscard]] virtual Status remove_dir(std::string_view prefix) const = 0;
  // Every object below `prefix`, as keys relative to the root, in no particular order.
  [[nodiscard]] virtual Result<std::vector<std::string>> list(std::string_view prefix) const = 0;
};

using StorageHandle = std::shared_ptr<const StorageBackend>;

// Refuses a key or prefix that could name something outside the store root once joined to it:
// an absolute path, a ".." component, or a NUL byte (which the OS would silently cut short).
// Keys reach the backends from documents that another process or a bucket may have written.
[[nodiscard]] Status check_key(std::string_view key);

// Objects as files under `root`. Every write goes to a fresh temporary file beside the target,
// is padded with zero bytes to a multiple of `block_size`, flushed, and renamed over the
// target, so a reader sees either the old object or the whole new one.
class LocalStorage final : public StorageBackend {
 public:
  static constexpr std::uint64_t kBlockSize = 4096;

  // A `block_size` of 0 turns padding off.
  explicit LocalStorage(std::filesystem::path root, std::uint64_t block_size = kBlockSize)
      : root_(std::move(root)), block_size_(block_size) {}

  const std::filesystem::path& root() const { return root_; }
  std::uint64_t block_size() const { return block_size_; }

  [[nodiscard]] Status put_parts(std::string_view key, std::span<const ByteView> parts) const override;
  // Streams the pieces into the temporary file; commit pads, flushes and renames it into place.
  [[nodiscard]] Result<std::unique_ptr<ObjectWriter>> open_writer(std::string_view key) const override;
  [[nodiscard]] Result<Bytes> get(std::string_view key) const override;
  [[nodiscard]] Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                                        std::uint64_t length) const override;
  [[nodiscard]] Result<bool> exists(std::string_view key) const override;
  [[nodiscard]] Status delete_object(std::string_view key) const override;
  [[nodiscard]] Status remove_dir(std::string_view prefix) const override;
  [[nodiscard]] Result<std::vector<std::string>> list(std::string_view prefix) const override;

 private:
  std::filesystem::path path_of(std::string_view key) const { return root_ / std::filesystem::path(key); }

  std::filesystem::path root_;
  std::uint64_t block_size_;
};

// Flushes a directory's entries to the device; failures are ignored.
void sync_dir(const std::filesystem::path& path);

// Whether files and directories are flushed to the device: TARNWICK_FSYNC, read once per
// process at the first call.
bool fsync_enabled();

// The switch for one value of TARNWICK_FSYNC (nullptr when unset): off only for exactly "0" or
// "false".
bool fsync_switch_from(const char* value);

}  // namespace tarnwick
