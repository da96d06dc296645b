#include "coordinator/saver.h"

#include <pthread.h>

#include <cstdio>
#include <system_error>

#include "coordinator/coordinator.h"
#include "runtime/profile.h"

namespace tarnwick {

Result<std::unique_ptr<AsyncSaver>> AsyncSaver::start(std::shared_ptr<Core> core) {
  std::unique_ptr<AsyncSaver> saver(new AsyncSaver(std::move(core)));
  try {
    saver->thread_ = std::thread([raw = saver.get()] {
      // Thread names are limited to 15 characters by the kernel.
      pthread_setname_np(pthread_self(), "tarnwick-async-");
      raw->run();
    });
  } catch (const std::system_error& e) {
    return fail(TarnwickError::storage(std::string("Failed to spawn tarnwick-async-saver thread: ") + e.what()));
  }
  return saver;
}

AsyncSaver::~AsyncSaver() {
  wait_idle();
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

Status AsyncSaver::submit(SaveJob job) {
  auto started = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  if (closed_) return fail(TarnwickError::storage("Background saver is shut down"));
  changed_.wait(lock, [&] { return !busy_; });
  auto waited = std::chrono::steady_clock::now() - started;
  last_queue_wait_ns_.store(static_cast<std::uint64_t>(std::chrono::nanoseconds(waited).count()));
  if (last_error_) {
    std::string message = std::exchange(last_error_, std::nullopt).value();
    return fail(TarnwickError::storage("Background save failed: " + message));
  }
  if (closed_) return fail(TarnwickError::storage("Background saver channel closed"));
  busy_ = true;
  jobs_.push_back(std::move(job));
  lock.unlock();
  changed_.notify_all();

  std::string line = profile::queue_wait_line(std::chrono::nanoseconds(waited));
  if (!line.empty()) std::fputs(line.c_str(), stderr);
  return {};
}

void AsyncSaver::wait_idle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !busy_; });
}

std::optional<std::string> AsyncSaver::take_error() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !busy_; });
  return std::exchange(last_error_, std::nullopt);
}

void AsyncSaver::run() {
  for (;;) {
    SaveJob job;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return closed_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // closed and drained
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    std::optional<std::string> failure;
    try {
      auto saved = core_->save_sync(job.id, job.step, std::move(job.tensors), std::move(job.metadata));
      if (!saved) failure = saved.error().message();
    } catch (...) {
      failure = "save thread panicked: " + panic_message(std::current_exception());
    }
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
      if (failure) last_error_ = std::move(failure);
    }
    changed_.notify_all();
  }
}

}  // namespace tarnwick
