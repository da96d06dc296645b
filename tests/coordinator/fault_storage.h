// A storage wrapper for tests: passes every operation to a real backend, counts what it reads,
// and fails the operations a test chooses.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace tarnwick::testing {

class FaultStorage final : public StorageBackend {
 public:
  // Given the operation name ("put_parts", "get", "get_range", "delete_object") and the key,
  // returns an error to fail that call with, or nothing to let it through.
  using Fault = std::function<std::optional<TarnwickError>(std::string_view op, std::string_view key)>;

  explicit FaultStorage(StorageHandle inner) : inner_(std::move(inner)) {}

  void set_fault(Fault fault) {
    std::lock_guard lock(mutex_);
    fault_ = std::move(fault);
  }
  // How many successful reads (get or get_range) touched a key containing `key_part`.
  std::uint64_t reads_of(std::string_view key_part) const {
    std::lock_guard lock(mutex_);
    std::uint64_t count = 0;
    for (const auto& key : read_keys_) count += key.find(key_part) != std::string::npos;
    return count;
  }

  Status put_parts(std::string_view key, std::span<const ByteView> parts) const override {
    if (auto error = check("put_parts", key)) return fail(*error);
    return inner_->put_parts(key, parts);
  }
  // A streamed write counts as a put_parts of the same key.
  Result<std::unique_ptr<ObjectWriter>> open_writer(std::string_view key) const override {
    if (auto error = check("put_parts", key)) return fail(*error);
    return inner_->open_writer(key);
  }
  Result<Bytes> get(std::string_view key) const override {
    if (auto error = check("get", key)) return fail(*error);
    return counted(key, inner_->get(key));
  }
  Result<Bytes> get_range(std::string_view key, std::uint64_t offset, std::uint64_t length) const override {
    if (auto error = check("get_range", key)) return fail(*error);
    return counted(key, inner_->get_range(key, offset, length));
  }
  Result<bool> exists(std::string_view key) const override { return inner_->exists(key); }
  Status delete_object(std::string_view key) const override {
    if (auto error = check("delete_object", key)) return fail(*error);
    return inner_->delete_object(key);
  }
  Status remove_dir(std::string_view prefix) const override { return inner_->remove_dir(prefix); }
  Result<std::vector<std::string>> list(std::string_view prefix) const override { return inner_->list(prefix); }

 private:
  std::optional<TarnwickError> check(std::string_view op, std::string_view key) const {
    std::lock_guard lock(mutex_);
    return fault_ ? fault_(op, key) : std::nullopt;
  }
  Result<Bytes> counted(std::string_view key, Result<Bytes> result) const {
    if (result) {
      std::lock_guard lock(mutex_);
      read_keys_.emplace_back(key);
    }
    return result;
  }

  StorageHandle inner_;
  mutable std::mutex mutex_;
  Fault fault_;
  mutable std::vector<std::string> read_keys_;
};

}  // namespace tarnwick::testing
