// File helpers: directory creation, whole-file reads, listings, and the durable atomic replace
// (its mode, and its refusal to write through anything planted at the temporary name).
#include "core/util/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tarnwell_core {
namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "tw_file_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string at(std::string_view name) const { return join_path(dir_, name); }
  void put(const std::string& path, std::string_view content) const {
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string get(const std::string& path) const {
    auto r = read_file(path);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? std::string(r->begin(), r->end()) : std::string();
  }
  static mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }

  std::string dir_;
};

TEST(JoinPath, OneSeparator) {
  EXPECT_EQ(join_path("a", "b"), "a/b");
  EXPECT_EQ(join_path("a/", "b"), "a/b");
  EXPECT_EQ(join_path("/", "b"), "/b");
  EXPECT_EQ(join_path("", "b"), "b");
}

TEST_F(FileTest, CreateDirAllCases) {
  put(at("file"), "x");
  struct Case {
    std::string path;
    int err;  // 0: success
  };
  const std::vector<Case> cases = {
      {at("a/b/c"), 0},          {at("a/b/c"), 0},  // existing is fine
      {at("a/b/d/"), 0},         {at("x//y///"), 0}, {at("file"), EEXIST},
      {at("file/sub"), ENOTDIR}, {"", ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Status s = create_dir_all(c.path, 0777);
    if (c.err == 0) {
      ASSERT_TRUE(s.ok()) << s.message();
      EXPECT_TRUE(S_ISDIR(mode_of(c.path)));
    } else {
      EXPECT_EQ(s.code(), StatusCode::kIoError);
      EXPECT_EQ(s.sys_errno(), c.err) << s.message();
    }
  }
  ASSERT_TRUE(create_dir_all(at("private/inner"), 0700).ok());
  EXPECT_EQ(mode_of(at("private")) & 0777, 0700u);
  EXPECT_EQ(mode_of(at("private/inner")) & 0777, 0700u);
}

TEST_F(FileTest, ReadFileAndListDir) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  put(at("big"), big);
  put(at("empty"), "");
  ASSERT_EQ(::mkdir(at("sub").c_str(), 0700), 0);
  EXPECT_EQ(get(at("big")), big);
  EXPECT_EQ(get(at("empty")), "");

  struct Bad {
    std::string path;
    int err;
  };
  for (const Bad& b : std::vector<Bad>{{at("missing"), ENOENT}, {at("sub"), EISDIR}}) {
    auto r = read_file(b.path);
    ASSERT_FALSE(r.has_value()) << b.path;
    EXPECT_EQ(r.error().sys_errno(), b.err);
  }
  auto missing = read_file(at("missing"));
  // File errors name their file.
  EXPECT_EQ(missing.error().message(),
            "No such file or directory (os error 2): '" + at("missing") + "'");

  auto names = list_dir(dir_);
  ASSERT_TRUE(names.has_value());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"big", "empty", "sub"}));
  for (const Bad& b : std::vector<Bad>{{at("missing"), ENOENT}, {at("big"), ENOTDIR}}) {
    auto r = list_dir(b.path);
    ASSERT_FALSE(r.has_value()) << b.path;
    EXPECT_EQ(r.error().sys_errno(), b.err);
  }
}

TEST_F(FileTest, WriteErrorsCarryTheSystemText) {
  auto full = open_file("/dev/full", O_WRONLY);
  ASSERT_TRUE(full.has_value());
  const std::vector<uint8_t> bytes(10, 1);
  Status s = write_all(full->get(), bytes);
  EXPECT_EQ(s.sys_errno(), ENOSPC);
  EXPECT_EQ(s.message(), "No space left on device (os error 28)");
  EXPECT_TRUE(write_all(full->get(), {}).ok());  // nothing to write is not an error
  EXPECT_EQ(fsync_dir(at("missing")).sys_errno(), ENOENT);
}

TEST_F(FileTest, AtomicReplaceWritesPrivateFileAndReplaces) {
  const mode_t old_mask = ::umask(0);  // the 0600 must not depend on the caller's umask
  const std::string text = "first version";
  Status s = replace_file_atomically(
      dir_, "c.twl", std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  ::umask(old_mask);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(get(at("c.twl")), text);
  EXPECT_EQ(mode_of(at("c.twl")) & 07777, 0600u);

  put(at("c.twl.tmp"), "leftover of a failed save, longer than what follows");
  const std::vector<uint8_t> second = {'v', '2'};
  ASSERT_TRUE(replace_file_atomically(dir_, "c.twl", second).ok());
  EXPECT_EQ(get(at("c.twl")), "v2");
  EXPECT_FALSE(std::filesystem::exists(at("c.twl.tmp")));
}

TEST_F(FileTest, AtomicReplaceNeverWritesThroughPlantedLinks) {
  const std::vector<uint8_t> payload = {'n', 'e', 'w'};
  struct Plant {
    std::string name;
    bool hard;
  };
  for (const Plant& p : std::vector<Plant>{{"symlink", false}, {"hard link", true}}) {
    SCOPED_TRACE(p.name);
    const std::string victim = at("victim");
    put(victim, "precious");
    ::chmod(victim.c_str(), 0644);
    const std::string tmp = at("s.twl.tmp");
    ASSERT_EQ(p.hard ? ::link(victim.c_str(), tmp.c_str()) : ::symlink(victim.c_str(), tmp.c_str()),
              0);
    Status s = replace_file_atomically(dir_, "s.twl", payload);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(get(victim), "precious");
    EXPECT_EQ(mode_of(victim) & 0777, 0644u);
    EXPECT_TRUE(S_ISREG(mode_of(at("s.twl"))));
    EXPECT_EQ(get(at("s.twl")), "new");
    std::filesystem::remove(at("s.twl"));
  }
}

TEST_F(FileTest, FailedAtomicReplaceKeepsTheOldFile) {
  put(at("k.twl"), "old");
  ASSERT_EQ(::mkdir(at("k.twl.tmp").c_str(), 0700), 0);  // cannot be unlinked as a file
  ASSERT_EQ(::mkdir(at("k.twl.tmp/inside").c_str(), 0700), 0);
  const std::vector<uint8_t> payload = {'n', 'e', 'w'};
  EXPECT_FALSE(replace_file_atomically(dir_, "k.twl", payload).ok());
  EXPECT_EQ(get(at("k.twl")), "old");

  Status missing_dir = replace_file_atomically(at("nowhere"), "k.twl", payload);
  EXPECT_EQ(missing_dir.sys_errno(), ENOENT);
}

}  // namespace
}  // namespace tarnwell_core
