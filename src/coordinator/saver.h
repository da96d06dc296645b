// The asynchronous saver: one background thread that runs single-rank saves handed to it, at
// most one at a time, and keeps the failure of a background save for the next caller.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/tensor.h"
#include "formats/uuid.h"
#include "runtime/error.h"

namespace tarnwick {

class Core;

struct SaveJob {
  Uuid id;
  std::uint64_t step = 0;
  std::vector<TensorData> tensors;
  std::map<std::string, std::string> metadata;
};

class AsyncSaver {
 public:
  // Starts the thread; fails with "Failed to spawn tarnwick-async-saver thread: ..." when the
  // system refuses it.
  [[nodiscard]] static Result<std::unique_ptr<AsyncSaver>> start(std::shared_ptr<Core> core);
  // Waits until idle, closes the channel and joins the thread.
  ~AsyncSaver();

  // Waits for the previous save, reports its failure if it failed, else queues this one.
  [[nodiscard]] Status submit(SaveJob job);
  void wait_idle();
  // Waits until idle and takes the unreported background failure, if any.
  std::optional<std::string> take_error();
  std::chrono::nanoseconds last_queue_wait() const {
    return std::chrono::nanoseconds(last_queue_wait_ns_.load());
  }

 private:
  explicit AsyncSaver(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  void run();

  std::shared_ptr<Core> core_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SaveJob> jobs_;
  bool busy_ = false;
  bool closed_ = false;
  std::optional<std::string> last_error_;
  std::atomic<std::uint64_t> last_queue_wait_ns_{0};
  std::thread thread_;
};

}  // namespace tarnwick
