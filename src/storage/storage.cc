#include "storage/storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>
#include <cstdlib>
#include <new>
#include <random>
#include <ranges>

#include "runtime/pool.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// Owns a file descriptor and closes it on every path.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

TarnwickError os_error(std::string_view doing, const fs::path& path, int err = errno) {
  return TarnwickError::from_errno(err, std::string(doing) + " " + path.string());
}

// Runs one storage operation, turning an allocation failure into an error instead of letting it
// escape the library.
template <class Body>
auto without_throwing(std::string_view key, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(TarnwickError::from_errno(ENOMEM, key));
  }
}

// ".tmp" followed by 6 characters drawn uniformly from [A-Za-z0-9].
std::string temporary_name() {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 engine = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string name = ".tmp";
  for (int i = 0; i < 6; ++i) name += kAlphabet[pick(engine)];
  return name;
}

// A freshly created temporary file, removed again unless it was renamed into place.
class TemporaryFile {
 public:
  static Result<TemporaryFile> create_in(const fs::path& directory) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(directory, ec);
    if (ec) return fail(os_error("resolving", directory, ec.value()));
    for (std::uint64_t attempt = 0; attempt < (std::uint64_t{1} << 31); ++attempt) {
      fs::path path = absolute / temporary_name();
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) return TemporaryFile(UniqueFd(fd), std::move(path));
      if (errno != EEXIST && errno != EINTR) return fail(os_error("creating a temporary file in", absolute));
    }
    return fail(TarnwickError::io("too many temporary files exist"));
  }

  TemporaryFile(TemporaryFile&& other) noexcept
      : fd_(std::move(other.fd_)), path_(std::move(other.path_)), owns_name_(std::exchange(other.owns_name_, false)) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (owns_name_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_.get(); }
  const fs::path& path() const { return path_; }

  // Renames the file over `target`, which an existing target is atomically replaced by.
  Status rename_to(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      return fail(TarnwickError::storage("Failed to persist " + target.string() + ": " +
                                         TarnwickError::from_errno(errno).text()));
    }
    owns_name_ = false;
    return {};
  }

 private:
  TemporaryFile(UniqueFd fd, fs::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  fs::path path_;
  bool owns_name_ = true;
};

// Zero bytes that padding is written from, so that padding never allocates.
constexpr std::size_t kZeroBlockSize = 4096;
constexpr std::byte kZeroBlock[kZeroBlockSize] = {};

// The parts followed by `padding` zero bytes, as write requests; empty parts are dropped.
std::vector<iovec> write_requests(std::span<const ByteView> parts, std::uint64_t padding) {
  std::vector<iovec> requests;
  requests.reserve(parts.size() + 1 + padding / kZeroBlockSize);
  for (ByteView part : parts) {
    if (!part.empty()) requests.push_back({const_cast<std::byte*>(part.data()), part.size()});
  }
  for (std::uint64_t left = padding; left > 0;) {
    const std::size_t chunk = std::min<std::uint64_t>(left, kZeroBlockSize);
    requests.push_back({const_cast<std::byte*>(kZeroBlock), chunk});
    left -= chunk;
  }
  return requests;
}

// Writes every request in order, continuing short writes and retrying interrupted ones.
Status write_all(int fd, std::vector<iovec> requests, const fs::path& path) {
  std::size_t next = 0;
  while (next < requests.size()) {
    const auto count = static_cast<int>(std::min<std::size_t>(requests.size() - next, IOV_MAX));
    const ssize_t written = ::writev(fd, &requests[next], count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(os_error("writing", path));
    }
    if (written == 0) return fail(os_error("writing", path, EIO));
    auto done = static_cast<std::size_t>(written);
    while (next < requests.size() && done >= requests[next].iov_len) done -= requests[next++].iov_len;
    if (done > 0) {
      requests[next].iov_base = static_cast<std::byte*>(requests[next].iov_base) + done;
      requests[next].iov_len -= done;
    }
  }
  return {};
}

Status flush_file(int fd, const fs::path& path) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail(os_error("flushing", path));
  }
  return {};
}

bool can_stat(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// `directory` and those of its ancestors that do not exist yet, nearest first, up to the first
// ancestor that exists.
std::vector<fs::path> missing_directories(const fs::path& directory) {
  std::vector<fs::path> missing;
  for (fs::path path = directory; !path.empty() && !can_stat(path);) {
    fs::path parent = path.parent_path();
    missing.push_back(std::move(path));
    if (parent == missing.back()) break;
    path = std::move(parent);
  }
  return missing;
}

fs::path parent_or_current(const fs::path& path) {
  fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// Reads from `offset` until `into` is full or the file ends; returns how many bytes arrived.
Result<std::size_t> read_at(int fd, std::uint64_t offset, MutableByteView into, const fs::path& path) {
  std::size_t filled = 0;
  while (filled < into.size()) {
    const ssize_t got = ::pread(fd, into.data() + filled, into.size() - filled, static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(os_error("reading", path));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

Result<std::uint64_t> file_size(int fd, const fs::path& path) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return fail(os_error("reading the size of", path));
  return static_cast<std::uint64_t>(info.st_size);
}

// `raw` with every byte sequence that is not valid UTF-8 replaced by U+FFFD, one replacement
// per maximal invalid subpart.
std::string lossy_utf8(std::string_view raw) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const auto lead = static_cast<unsigned char>(raw[i]);
    if (lead < 0x80) {
      out += raw[i++];
      continue;
    }
    // Continuation count and the allowed range of the first continuation byte, which rules out
    // overlong forms, surrogates and code points above U+10FFFF.
    int needed = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) needed = 1;
    else if (lead == 0xE0) needed = 2, low = 0xA0;
    else if (lead == 0xED) needed = 2, high = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF) needed = 2;
    else if (lead == 0xF0) needed = 3, low = 0x90;
    else if (lead == 0xF4) needed = 3, high = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3) needed = 3;
    std::size_t end = i + 1;
    int seen = 0;
    while (seen < needed && end < raw.size()) {
      const auto next = static_cast<unsigned char>(raw[end]);
      if (next < low || next > high) break;
      ++end, ++seen, low = 0x80, high = 0xBF;
    }
    if (needed > 0 && seen == needed) out += raw.substr(i, end - i);
    else out += kReplacement;
    i = end;
  }
  return out;
}

struct ListedEntry {
  std::string name;
  bool is_directory;
};

// The regular files and directories of an open directory, in the order the filesystem returns
// them; symbolic links and every other kind of entry are left out. Closes `fd`.
std::vector<ListedEntry> regular_entries(int fd) {
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    ::close(fd);
    return {};
  }
  std::vector<ListedEntry> entries;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info;
      if (::fstatat(::dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISREG(info.st_mode) ? DT_REG : S_ISDIR(info.st_mode) ? DT_DIR : DT_UNKNOWN;
    }
    if (type == DT_REG || type == DT_DIR) entries.push_back({std::string(name), type == DT_DIR});
  }
  ::closedir(stream);
  return entries;
}

// Appends the key of every regular file below the directory `path` (open as `fd`, key
// `key_prefix` ending in "/" or empty), depth first. Each directory is read whole and closed
// before descending, so one directory is open at a time. Entries that cannot be read are
// skipped.
void walk(const fs::path& path, int fd, const std::string& key_prefix, std::vector<std::string>& keys) {
  for (ListedEntry& entry : regular_entries(fd)) {
    std::string key = key_prefix + lossy_utf8(entry.name);
    if (!entry.is_directory) {
      keys.push_back(std::move(key));
      continue;
    }
    const fs::path child = path / entry.name;
    const int child_fd = ::open(child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child_fd >= 0) walk(child, child_fd, key + "/", keys);
  }
}

// The components of `prefix` joined with "/", without empty and "." components.
std::string normalized_prefix(std::string_view prefix) {
  std::string out;
  for (auto piece : prefix | std::views::split('/')) {
    const std::string_view component(piece.begin(), piece.end());
    if (component.empty() || component == ".") continue;
    if (!out.empty()) out += '/';
    out += lossy_utf8(component);
  }
  return out;
}

}  // namespace

Status check_key(std::string_view key) {
  const auto refuse = [&](std::string_view reason) {
    return fail(TarnwickError::storage("refusing key " + quoted(key) + ": " + std::string(reason)));
  };
  if (key.find('\0') != std::string_view::npos) return refuse("it contains a NUL byte");
  if (key.starts_with('/')) return refuse("it is an absolute path");
  for (auto piece : key | std::views::split('/')) {
    if (std::string_view(piece.begin(), piece.end()) == "..") return refuse("it has a \"..\" component");
  }
  return {};
}

namespace {

// Collects the pieces and writes them with one put_parts on commit.
class BufferingWriter final : public ObjectWriter {
 public:
  BufferingWriter(const StorageBackend& storage, std::string key) : storage_(storage), key_(std::move(key)) {}

  Status append(std::span<const ByteView> parts) override {
    return without_throwing(key_, [&]() -> Status {
      for (ByteView part : parts) buffer_.insert(buffer_.end(), part.begin(), part.end());
      return {};
    });
  }
  Status overwrite(std::uint64_t offset, ByteView bytes) override {
    if (offset > buffer_.size() || bytes.size() > buffer_.size() - offset) {
      return fail(TarnwickError::storage("overwrite past the end of " + key_));
    }
    std::copy(bytes.begin(), bytes.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset));
    return {};
  }
  Status commit() override { return storage_.put(key_, buffer_); }

 private:
  const StorageBackend& storage_;
  std::string key_;
  Bytes buffer_;
};

// Writes into a temporary file beside the target; commit pads it to the block size, flushes it
// when fsync is on, renames it over the target and flushes the directory entries involved.
class LocalObjectWriter final : public ObjectWriter {
 public:
  LocalObjectWriter(TemporaryFile file, fs::path target, std::vector<fs::path> created, std::uint64_t block_size)
      : file_(std::move(file)), target_(std::move(target)), created_(std::move(created)), block_size_(block_size) {}

  Status append(std::span<const ByteView> parts) override {
    return without_throwing(target_.native(), [&]() -> Status {
      TW_RETURN_IF_ERROR(write_all(file_.fd(), write_requests(parts, 0), file_.path()));
      for (ByteView part : parts) written_ += part.size();
      return {};
    });
  }

  Status overwrite(std::uint64_t offset, ByteView bytes) override {
    if (offset > written_ || bytes.size() > written_ - offset) {
      return fail(TarnwickError::storage("overwrite past the end of " + target_.string()));
    }
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t put = ::pwrite(file_.fd(), bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return fail(os_error("writing", file_.path(), put < 0 ? errno : EIO));
      done += static_cast<std::size_t>(put);
    }
    return {};
  }

  Status commit() override {
    return without_throwing(target_.native(), [&]() -> Status {
      const std::uint64_t tail = block_size_ == 0 ? 0 : written_ % block_size_;
      const std::uint64_t padding = tail == 0 ? 0 : block_size_ - tail;
      TW_RETURN_IF_ERROR(write_all(file_.fd(), write_requests({}, padding), file_.path()));
      const bool durable = fsync_enabled();
      if (durable) TW_RETURN_IF_ERROR(flush_file(file_.fd(), file_.path()));
      TW_RETURN_IF_ERROR(file_.rename_to(target_));
      if (durable) {
        // The new file's entry, then the entry of every directory created for it, top-most first.
        sync_dir(target_.parent_path());
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) sync_dir(parent_or_current(*it));
      }
      return {};
    });
  }

 private:
  TemporaryFile file_;
  fs::path target_;
  std::vector<fs::path> created_;
  std::uint64_t block_size_;
  std::uint64_t written_ = 0;
};

}  // namespace

Result<std::unique_ptr<ObjectWriter>> StorageBackend::open_writer(std::string_view key) const {
  return std::unique_ptr<ObjectWriter>(new BufferingWriter(*this, std::string(key)));
}

Result<std::unique_ptr<ObjectWriter>> LocalStorage::open_writer(std::string_view key) const {
  TW_RETURN_IF_ERROR(check_key(key));
  return without_throwing(key, [&]() -> Result<std::unique_ptr<ObjectWriter>> {
    const fs::path target = path_of(key);
    const fs::path directory = target.parent_path();
    std::vector<fs::path> created = missing_directories(directory);
    if (!created.empty()) {
      std::error_code ec;
      fs::create_directories(directory, ec);
      if (ec) return fail(os_error("creating directory", directory, ec.value()));
    }
    TW_ASSIGN_OR_RETURN(TemporaryFile file, TemporaryFile::create_in(directory));
    return std::unique_ptr<ObjectWriter>(
        new LocalObjectWriter(std::move(file), target, std::move(created), block_size_));
  });
}

Status LocalStorage::put_parts(std::string_view key, std::span<const ByteView> parts) const {
  TW_ASSIGN_OR_RETURN(std::unique_ptr<ObjectWriter> writer, open_writer(key));
  TW_RETURN_IF_ERROR(writer->append(parts));
  return writer->commit();
}

Result<Bytes> LocalStorage::get(std::string_view key) const {
  TW_RETURN_IF_ERROR(check_key(key));
  return without_throwing(key, [&]() -> Result<Bytes> {
    const fs::path path = path_of(key);
    if (!can_stat(path)) return fail(TarnwickError::not_found(std::string(key)));
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return fail(os_error("opening", path));
    TW_ASSIGN_OR_RETURN(const std::uint64_t size, file_size(fd.get(), path));
    Bytes bytes;
    bytes.resize(size);
    TW_ASSIGN_OR_RETURN(const std::size_t got, read_at(fd.get(), 0, bytes, path));
    bytes.resize(got);
    return bytes;
  });
}

Result<Bytes> LocalStorage::get_range(std::string_view key, std::uint64_t offset, std::uint64_t length) const {
  TW_RETURN_IF_ERROR(check_key(key));
  return without_throwing(key, [&]() -> Result<Bytes> {
    const fs::path path = path_of(key);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      if (errno == ENOENT) return fail(TarnwickError::not_found(std::string(key)));
      return fail(os_error("opening", path));
    }
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return fail(os_error("seeking in", path, EINVAL));
    }
    // The length may come from a damaged document, so the buffer is sized by what the file can
    // still deliver rather than by the request alone.
    TW_ASSIGN_OR_RETURN(const std::uint64_t size, file_size(fd.get(), path));
    const std::uint64_t available = size > offset ? size - offset : 0;
    Bytes bytes;
    bytes.resize(std::min(length, available));
    TW_ASSIGN_OR_RETURN(const std::size_t got, read_at(fd.get(), offset, bytes, path));
    bytes.resize(got);
    return bytes;
  });
}

Result<bool> LocalStorage::exists(std::string_view key) const {
  TW_RETURN_IF_ERROR(check_key(key));
  return without_throwing(key, [&]() -> Result<bool> { return can_stat(path_of(key)); });
}

Status LocalStorage::delete_object(std::string_view key) const {
  TW_RETURN_IF_ERROR(check_key(key));
  return without_throwing(key, [&]() -> Status {
    const fs::path path = path_of(key);
    if (!can_stat(path)) return {};
    // A concurrent delete that got there first leaves nothing to do either.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(os_error("removing", path));
    return {};
  });
}

Status LocalStorage::remove_dir(std::string_view prefix) const {
  TW_RETURN_IF_ERROR(check_key(prefix));
  return without_throwing(prefix, [&]() -> Status {
    const fs::path path = path_of(prefix);
    struct stat info;
    // Fails harmlessly while the directory still holds files.
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ::rmdir(path.c_str());
    return {};
  });
}

Result<std::vector<std::string>> LocalStorage::list(std::string_view prefix) const {
  TW_RETURN_IF_ERROR(check_key(prefix));
  return without_throwing(prefix, [&]() -> Result<std::vector<std::string>> {
    const fs::path start = path_of(prefix);
    const std::string start_key = normalized_prefix(prefix);
    std::vector<std::string> keys;
    struct stat info;
    if (::lstat(start.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (!start_key.empty()) keys.push_back(start_key);
      return keys;
    }
    // The starting directory is followed even when it is a symbolic link.
    const int fd = ::open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) walk(start, fd, start_key.empty() ? start_key : start_key + "/", keys);
    return keys;
  });
}

void sync_dir(const fs::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return;
  while (::fsync(fd.get()) != 0 && errno == EINTR) {
  }
}

bool fsync_switch_from(const char* value) {
  if (value == nullptr) return true;
  const std::string_view text = value;
  return text != "0" && text != "false";
}

bool fsync_enabled() {
  static const bool enabled = fsync_switch_from(std::getenv("TARNWICK_FSYNC"));
  return enabled;
}

}  // namespace tarnwick
