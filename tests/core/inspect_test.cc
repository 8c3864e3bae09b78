// Read-only inspection: damage is located record by record (damaged ranges, records that do not
// decode, a torn tail), a held directory is refused, and reading a directory into memory gives
// what a handle would open — "{name}.twl" over a stale copy, the log replayed — without changing
// any file.
#include "core/storage/inspect.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/database/handle.h"
#include "core/storage/snapshot.h"
#include "core/storage/wal.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

namespace fs = std::filesystem;

Uuid uuid_of(uint8_t seed) {
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(seed + i);
  return u;
}

std::vector<float> emb(float x) { return {x, 0.5f, -x, 0.25f}; }

// Each entry's size, mode and modification time: what a read-only reader must leave alone.
std::map<std::string, std::tuple<uintmax_t, unsigned, int64_t>> files_of(const std::string& dir) {
  std::map<std::string, std::tuple<uintmax_t, unsigned, int64_t>> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    struct stat st;
    EXPECT_EQ(::stat(e.path().c_str(), &st), 0);
    out[e.path().filename()] = {static_cast<uintmax_t>(st.st_size), st.st_mode,
                                st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  }
  return out;
}

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "tw_inspect_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<DatabaseHandle> open() {
    auto h = DatabaseHandle::open(dir_, nullptr);
    EXPECT_TRUE(h.has_value()) << (h ? "" : h.error().message());
    return h ? std::move(*h) : nullptr;
  }
  static void insert(DatabaseHandle& h, const std::string& c, uint8_t id) {
    auto r = h.insert(h.get_collection(c), c, Document(uuid_of(id), "doc", {}), emb(id));
    ASSERT_TRUE(r.has_value()) << r.error().message();
  }

  std::string dir_;
};

TEST_F(InspectTest, LocatesEveryKindOfLogDamageAndRefusesAHeldDirectory) {
  std::vector<uint64_t> starts;
  {
    auto wal = SyncWriteAheadLog::open(dir_, nullptr);
    ASSERT_TRUE(wal.has_value());
    HnswConfig config;
    const std::vector<std::vector<uint8_t>> payloads = {
        encode_create_collection_record("c", 4, config),
        encode_insert_record("c", Document(uuid_of(1), "a", {}), emb(1)),
        {0xEE, 0xEE, 0xEE, 0xEE, 1, 2},  // passes its checksum, decodes to nothing
        encode_insert_record("c", Document(uuid_of(2), "b", {}), emb(2)),
        encode_delete_document_record("c", uuid_of(1)),
    };
    for (const auto& p : payloads) {
      starts.push_back(fs::file_size(join_path(dir_, WAL_FILE_NAME)));
      ASSERT_TRUE((*wal)->append(p).ok());
    }
    // A held directory is refused, and nothing was read.
    auto held = inspect_data_dir(dir_, nullptr);
    ASSERT_FALSE(held.has_value());
    EXPECT_NE(held.error().message().find("is in use by another handle"), std::string::npos);
    EXPECT_FALSE(read_data_dir(dir_, nullptr).has_value());
  }
  const std::string wal = join_path(dir_, WAL_FILE_NAME);
  const uint64_t size = fs::file_size(wal);
  {
    std::fstream f(wal, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(starts[3] + 12));  // inside the second insert's payload
    f.put('\x7f');
    f.seekp(0, std::ios::end);
    f.write("\x00\x00\x00\x40\x01\x02", 6);  // a header promising more than follows
  }
  const auto before = files_of(dir_);
  auto report = inspect_data_dir(dir_, nullptr);
  ASSERT_TRUE(report.has_value()) << report.error().message();
  ASSERT_TRUE(report->log.has_value());
  const LogReport& log = *report->log;
  EXPECT_FALSE(report->ok());
  EXPECT_EQ(log.records, 3u);  // create, first insert, delete
  EXPECT_EQ(log.records_by_collection.at("c"), 3u);
  EXPECT_EQ(log.undecodable, std::vector<uint64_t>{starts[2]});
  ASSERT_EQ(log.damaged.size(), 1u);
  EXPECT_EQ(log.damaged[0].begin, starts[3]);
  EXPECT_EQ(log.damaged[0].end, starts[4]);
  ASSERT_TRUE(log.tail.has_value());
  EXPECT_EQ(log.tail->begin, size);
  EXPECT_EQ(log.tail->end, size + 6);
  EXPECT_TRUE(log.tail_torn);
  EXPECT_EQ(files_of(dir_), before);
}

TEST_F(InspectTest, ReadsWhatAHandleWouldOpenWithoutWriting) {
  {
    auto h = open();
    HnswConfig raw;
    raw.store_raw_vectors = true;
    ASSERT_TRUE(h->create_collection("a", 4, HnswConfig()).ok());
    ASSERT_TRUE(h->create_collection("raw", 4, raw).ok());
    insert(*h, "a", 1);
    ASSERT_TRUE(h->compact().ok());
    fs::copy_file(join_path(dir_, "a.twl"), join_path(dir_, "zz-stale.twl"));
    insert(*h, "a", 2);
    ASSERT_TRUE(h->compact().ok());
    insert(*h, "a", 3);  // in the log only
    insert(*h, "raw", 7);
    insert(*h, "raw", 5);
  }
  std::ofstream(join_path(dir_, "junk.twl")) << "not a snapshot";
  const auto before = files_of(dir_);
  auto contents = read_data_dir(dir_, nullptr);
  ASSERT_TRUE(contents.has_value()) << contents.error().message();
  EXPECT_EQ(files_of(dir_), before);
  ASSERT_EQ(contents->skipped.size(), 1u);
  EXPECT_NE(contents->skipped[0].find("junk.twl"), std::string::npos);

  const auto walk = [&](const std::string& name) {
    std::vector<std::pair<Uuid, std::vector<float>>> out;
    for_each_document(*contents->db->get_collection(name),
                      [&](const Document& d, std::span<const float> e) {
                        out.emplace_back(d.id, std::vector<float>(e.begin(), e.end()));
                        return true;
                      });
    return out;
  };
  // Insertion order; raw vectors exactly, others within their 8-bit codes' step.
  const auto raw = walk("raw");
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[0].first, uuid_of(7));
  EXPECT_EQ(raw[0].second, emb(7));
  EXPECT_EQ(raw[1].second, emb(5));
  const auto a = walk("a");
  ASSERT_EQ(a.size(), 3u);  // the canonical file, not the stale copy, plus the log
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].first, uuid_of(static_cast<uint8_t>(i + 1)));
    for (size_t j = 0; j < 4; ++j) EXPECT_NEAR(a[i].second[j], emb(float(i + 1))[j], 0.05f);
  }
}

}  // namespace
}  // namespace tarnwell_core
