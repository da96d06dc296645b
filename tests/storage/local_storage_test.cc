// What only the local filesystem backend does: padding, files on disk, the walk of `list`, the
// fsync switch, and keeping every operation inside the store root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "storage/scratch_dir.h"
#include "storage/storage.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The names directly inside `dir`.
std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

class LocalStorageTest : public ::testing::Test {
 protected:
  testing::ScratchDir scratch_;
  fs::path root_ = scratch_.path() / "store";
  LocalStorage store_{root_};
};

struct PaddingCase {
  const char* name;
  std::uint64_t block_size;
  std::vector<std::size_t> part_sizes;
  std::size_t file_size;
};

void PrintTo(const PaddingCase& row, std::ostream* out) { *out << row.name; }

class Padding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(Padding, FileIsThePartsThenZerosUpToABlockMultiple) {
  const PaddingCase& row = GetParam();
  testing::ScratchDir scratch;
  const LocalStorage store(scratch.path(), row.block_size);
  std::vector<std::string> contents;
  std::string payload;
  for (std::size_t i = 0; i < row.part_sizes.size(); ++i) {
    contents.emplace_back(row.part_sizes[i], static_cast<char>('a' + i));
    payload += contents.back();
  }
  std::vector<ByteView> parts;
  for (const auto& content : contents) parts.push_back(as_bytes(content));

  ASSERT_TRUE(store.put_parts("object", parts));

  std::string expected = payload;
  expected.resize(row.file_size, '\0');
  EXPECT_EQ(read_file(scratch.path() / "object"), expected);
  const auto got = store.get("object");
  ASSERT_TRUE(got);
  EXPECT_EQ(as_text(*got), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Padding,
    ::testing::Values(PaddingCase{"five_bytes", 4096, {5}, 4096}, PaddingCase{"exactly_one_block", 4096, {4096}, 4096},
                      PaddingCase{"one_byte_over", 4096, {4097}, 8192}, PaddingCase{"nothing", 4096, {0}, 0},
                      PaddingCase{"parts_3_0_2", 4096, {3, 0, 2}, 4096},
                      PaddingCase{"many_blocks_of_a_small_size", 16, {5, 20}, 32},
                      PaddingCase{"padding_off", 0, {5}, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LocalStorageTest, PutCreatesMissingDirectoriesAndAnOwnerOnlyFile) {
  ASSERT_TRUE(store_.put("snapshots/x/y/rank_0.pack", as_bytes("pack")));

  const mode_t umask_bits = ::umask(0);
  ::umask(umask_bits);
  for (const char* dir : {"snapshots", "snapshots/x", "snapshots/x/y"}) {
    SCOPED_TRACE(dir);
    ASSERT_TRUE(fs::is_directory(root_ / dir));
    EXPECT_EQ(static_cast<mode_t>(fs::status(root_ / dir).permissions()), 0777 & ~umask_bits);
  }
  EXPECT_EQ(fs::status(root_ / "snapshots/x/y/rank_0.pack").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_THAT(names_in(root_ / "snapshots/x/y"), UnorderedElementsAre("rank_0.pack"));
}

TEST_F(LocalStorageTest, DeletingADirectoryIsAnIoErrorAndKeepsIt) {
  fs::create_directories(root_ / "snapshots/a");
  const auto status = store_.delete_object("snapshots/a");
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(fs::is_directory(root_ / "snapshots/a"));
}

TEST_F(LocalStorageTest, RemoveDirRemovesOnlyAnEmptyDirectoryAndNeverFails) {
  ASSERT_TRUE(store_.put("snapshots/full/rank_0.pack", as_bytes("x")));
  fs::create_directories(root_ / "snapshots/empty");

  EXPECT_TRUE(store_.remove_dir("snapshots/full"));
  EXPECT_TRUE(store_.remove_dir("snapshots/empty"));
  EXPECT_TRUE(store_.remove_dir("snapshots/missing"));
  EXPECT_TRUE(store_.remove_dir("snapshots/full/rank_0.pack"));

  EXPECT_TRUE(fs::is_regular_file(root_ / "snapshots/full/rank_0.pack"));
  EXPECT_FALSE(fs::exists(root_ / "snapshots/empty"));
}

TEST_F(LocalStorageTest, ListIncludesStrayTemporaryFilesAndNoKeyStartsWithASlash) {
  ASSERT_TRUE(store_.put("manifest.json", as_bytes("{}")));
  ASSERT_TRUE(store_.put("snapshots/a/rank_0.pack", as_bytes("x")));
  write_file(root_ / "snapshots/a/.tmpAbC123", "interrupted");

  const auto keys = store_.list("").value();
  EXPECT_THAT(keys, UnorderedElementsAre("manifest.json", "snapshots/a/rank_0.pack", "snapshots/a/.tmpAbC123"));
  for (const auto& key : keys) EXPECT_FALSE(key.starts_with('/')) << key;
  EXPECT_THAT(store_.list("/").error().kind(), ErrorKind::Storage);
}

TEST_F(LocalStorageTest, ListSkipsSymbolicLinksAndWhatTheyPointAt) {
  ASSERT_TRUE(store_.put("snapshots/a/rank_0.pack", as_bytes("x")));
  const fs::path outside = scratch_.path() / "outside";
  fs::create_directories(outside);
  write_file(outside / "secret", "s");
  fs::create_directory_symlink(outside, root_ / "snapshots/linked_dir");
  fs::create_symlink(outside / "secret", root_ / "snapshots/a/linked_file");

  EXPECT_THAT(store_.list("").value(), UnorderedElementsAre("snapshots/a/rank_0.pack"));
}

TEST_F(LocalStorageTest, ListReplacesInvalidUtf8InNames) {
  fs::create_directories(root_ / "snapshots");
  write_file(root_ / "snapshots/bad\xff.pack", "x");
  EXPECT_THAT(store_.list("snapshots").value(), UnorderedElementsAre("snapshots/bad\xEF\xBF\xBD.pack"));
}

TEST_F(LocalStorageTest, ListOfAFileGivesThatFile) {
  ASSERT_TRUE(store_.put("manifest.json", as_bytes("{}")));
  EXPECT_THAT(store_.list("manifest.json").value(), UnorderedElementsAre("manifest.json"));
}

TEST_F(LocalStorageTest, FailedRenameRemovesTheTemporaryFile) {
  fs::create_directories(root_ / "snapshots/a/rank_0.pack/occupied");

  const auto status = store_.put("snapshots/a/rank_0.pack", as_bytes("x"));

  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind(), ErrorKind::Storage);
  EXPECT_THAT(status.error().message(),
              ::testing::StartsWith("Storage backend error: Failed to persist " +
                                    (root_ / "snapshots/a/rank_0.pack").string() + ": "));
  EXPECT_THAT(names_in(root_ / "snapshots/a"), UnorderedElementsAre("rank_0.pack"));
  EXPECT_THAT(names_in(root_ / "snapshots/a/rank_0.pack"), UnorderedElementsAre("occupied"));
}

struct SwitchCase {
  const char* name;
  const char* value;
  bool enabled;
};

class FsyncSwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(FsyncSwitch, IsOffOnlyForExactlyZeroOrFalse) {
  EXPECT_EQ(fsync_switch_from(GetParam().value), GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(Values, FsyncSwitch,
                         ::testing::Values(SwitchCase{"zero", "0", false}, SwitchCase{"false", "false", false},
                                           SwitchCase{"capital_False", "False", true},
                                           SwitchCase{"upper_FALSE", "FALSE", true}, SwitchCase{"no", "no", true},
                                           SwitchCase{"off", "off", true}, SwitchCase{"empty", "", true},
                                           SwitchCase{"unset", nullptr, true}, SwitchCase{"one", "1", true},
                                           SwitchCase{"zero_with_space", "0 ", true},
                                           SwitchCase{"not_utf8", "\xff", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The death tests below run their statement in a freshly started copy of the test binary, so
// that process-wide state (the cached fsync switch, resource limits) starts clean and stays
// contained.
TEST(FsyncSwitchDeathTest, IsReadOnceFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("TARNWICK_FSYNC", "false", 1);
        const bool first = fsync_enabled();
        ::setenv("TARNWICK_FSYNC", "1", 1);
        const bool second = fsync_enabled();
        std::fprintf(stderr, "first=%d second=%d\n", first, second);
        std::_Exit(!first && !second ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

class LocalStorageDeathTest : public LocalStorageTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Ends a death test's child, which skips destructors, so its scratch directory is removed here.
[[noreturn]] void exit_child(bool passed, const fs::path& scratch) {
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  std::_Exit(passed ? 0 : 1);
}

// Writes past a file size limit of 8 KiB; exits 0 when the write failed with Io and left no
// temporary file behind.
[[noreturn]] void write_past_file_size_limit(const LocalStorage& store, const fs::path& scratch) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{8192, 8192};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const std::string payload(100000, 'x');
  const auto status = store.put("snapshots/a/rank_0.pack", as_bytes(payload));
  const bool io = !status && status.error().kind() == ErrorKind::Io;
  const bool clean = fs::is_empty(store.root() / "snapshots/a");
  std::fprintf(stderr, "%s clean=%d\n", status ? "ok" : status.error().message().c_str(), clean);
  exit_child(io && clean, scratch);
}

TEST_F(LocalStorageDeathTest, FailedWriteIsIoAndRemovesTheTemporaryFile) {
  EXPECT_EXIT(write_past_file_size_limit(store_, scratch_.path()), ::testing::ExitedWithCode(0), "File too large");
}

std::uint64_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Reads the 1 GiB object "big.pack" with only 64 MiB of address space to spare; exits 0 when both reads
// failed with Io instead of throwing.
[[noreturn]] void read_beyond_address_space(const LocalStorage& store, const fs::path& scratch) {
  const std::uint64_t cap = address_space_in_use() + (std::uint64_t{64} << 20);
  const rlimit limit{cap, cap};
  ::setrlimit(RLIMIT_AS, &limit);
  const auto whole = store.get("big.pack");
  const auto range = store.get_range("big.pack", 0, std::uint64_t{1} << 30);
  const bool refused =
      !whole && whole.error().kind() == ErrorKind::Io && !range && range.error().kind() == ErrorKind::Io;
  std::fprintf(stderr, "%s\n", whole ? "ok" : whole.error().message().c_str());
  exit_child(refused, scratch);
}

TEST_F(LocalStorageDeathTest, AllocationFailureIsAnIoError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
  fs::create_directories(root_);
  std::ofstream(root_ / "big.pack").close();
  fs::resize_file(root_ / "big.pack", std::uint64_t{1} << 30);
  EXPECT_EXIT(read_beyond_address_space(store_, scratch_.path()), ::testing::ExitedWithCode(0), "Cannot allocate memory");
}

// Keys that, joined to the root as they are, would name the sentinel outside the root, the
// directory holding the root, or (cut short at a NUL) another object inside it.
struct EscapeCase {
  const char* name;
  // "<base>" stands for the directory that holds the root.
  std::string key;
};

void PrintTo(const EscapeCase& escape, std::ostream* out) { *out << escape.name; }

class HostileKeys : public ::testing::TestWithParam<EscapeCase> {
 protected:
  void SetUp() override {
    write_file(base_ / "sentinel", "keep me");
    fs::create_directories(base_ / "empty_sibling");
    fs::create_directories(root_ / "a");
    ASSERT_TRUE(store_.put("victim", as_bytes("victim bytes")));
  }

  std::string key() const {
    std::string key = GetParam().key;
    if (key.starts_with("<base>")) key.replace(0, 6, base_.string());
    return key;
  }

  testing::ScratchDir scratch_;
  fs::path base_ = scratch_.path();
  fs::path root_ = base_ / "store";
  LocalStorage store_{root_};
};

TEST_P(HostileKeys, NothingOutsideTheRootOrBehindTheKeyIsTouched) {
  const std::string key = this->key();
  const ByteView parts[] = {as_bytes("overwritten")};
  EXPECT_EQ(store_.put(key, as_bytes("overwritten")).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.put_parts(key, parts).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.get(key).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.get_range(key, 0, 64).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.exists(key).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.delete_object(key).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.remove_dir(key).error().kind(), ErrorKind::Storage);
  EXPECT_EQ(store_.list(key).error().kind(), ErrorKind::Storage);

  EXPECT_EQ(read_file(base_ / "sentinel"), "keep me");
  EXPECT_TRUE(fs::is_directory(base_ / "empty_sibling"));
  EXPECT_THAT(names_in(base_), UnorderedElementsAre("sentinel", "empty_sibling", "store"));
  EXPECT_THAT(names_in(root_), UnorderedElementsAre("a", "victim"));
  EXPECT_THAT(names_in(root_ / "a"), IsEmpty());
  EXPECT_EQ(read_file(root_ / "victim").substr(0, 12), "victim bytes");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, HostileKeys,
    ::testing::Values(EscapeCase{"parent_sentinel", "../sentinel"},
                      EscapeCase{"through_a_subdirectory", "a/../../sentinel"},
                      EscapeCase{"absolute_sentinel", "<base>/sentinel"},
                      EscapeCase{"parent_empty_directory", "../empty_sibling"},
                      EscapeCase{"absolute_base", "<base>"}, EscapeCase{"parent_of_root", ".."},
                      EscapeCase{"nul_cuts_to_another_object", std::string("victim\0.pack", 12)},
                      EscapeCase{"nul_cuts_to_a_directory", std::string("a\0/x", 4)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
