// The database handle: argument refusals before anything is logged, recovery of every
// acknowledged change across restarts, and the durability decisions — other collections' changes
// survive a save, deleted collections stay deleted, load is all or nothing and durable, a damaged
// log tail is cut back, a log for another key is refused, "{name}.twl" wins over stale copies,
// one handle per directory, and files that only failed to load are never removed.
#include "collection_test_util.h"
#include "core/database/handle.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "core/storage/snapshot.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Handle = std::unique_ptr<DatabaseHandle>;

const char kKeyHex[] = "8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef";
const char kOtherKeyHex[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::shared_ptr<const EncryptionKey> key_of(const char* hex) {
  return *EncryptionKey::from_hex(hex);
}

Uuid uuid_of(uint32_t seed) {
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(seed * 7 + i + (seed >> 8));
  u.bytes[15] = static_cast<uint8_t>(seed);
  u.bytes[14] = static_cast<uint8_t>(seed >> 8);
  return u;
}

HnswConfig small_config() {
  HnswConfig c;
  c.m = 4;
  c.m_max0 = 8;
  c.ef_construction = 16;
  return c;
}

std::vector<float> emb(float x) { return {x, 1.0f, -x}; }

// Everything a user can observe of a handle's contents: per collection its dimension and its
// live documents' ids and texts.
using State = std::map<std::string, std::pair<uint64_t, std::map<Uuid, std::string>>>;

State state_of(const DatabaseHandle& h) {
  State out;
  for (const std::string& name : h.list_collections()) {
    auto c = h.get_collection(name);
    auto& entry = out[name];
    entry.first = c->dimension();
    c->read([&](const CollectionData& d) {
      for (const Document& doc : testing_util::live_documents(d)) entry.second[doc.id] = doc.text;
    });
  }
  return out;
}

class HandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "tw_handle_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    dir_ = join_path(root_, "data");
  }
  void TearDown() override { fs::remove_all(root_); }

  Handle open(std::shared_ptr<const EncryptionKey> key = nullptr) {
    auto h = DatabaseHandle::open(dir_, std::move(key));
    EXPECT_TRUE(h.has_value()) << (h ? "" : h.error().message());
    return h ? std::move(*h) : nullptr;
  }
  Result<Handle> try_open(std::shared_ptr<const EncryptionKey> key = nullptr) {
    return DatabaseHandle::open(dir_, std::move(key));
  }

  static Uuid insert(DatabaseHandle& h, const std::string& c, uint32_t id, std::string text = "") {
    if (text.empty()) text = "doc " + std::to_string(id);
    auto r = h.insert(h.get_collection(c), c, Document(uuid_of(id), text, {}), emb(float(id)));
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return uuid_of(id);
  }
  static void create(DatabaseHandle& h, const std::string& c) {
    Status s = h.create_collection(c, 3, small_config());
    ASSERT_TRUE(s.ok()) << s.message();
  }

  uint64_t wal_size() const { return fs::file_size(join_path(dir_, WAL_FILE_NAME)); }
  std::string file(const std::string& name) const { return join_path(dir_, name); }

  std::string root_;
  std::string dir_;
};

TEST_F(HandleTest, EphemeralHandleTouchesNoFile) {
  auto h = DatabaseHandle::open(std::nullopt, nullptr);
  ASSERT_TRUE(h.has_value());
  create(**h, "c");
  insert(**h, "c", 1);
  EXPECT_TRUE(fs::is_empty(root_));
  const char* kNoPath = "no path specified and Tarnwell was created without data_dir";
  EXPECT_EQ((*h)->save("c", std::nullopt, nullptr).message(), kNoPath);
  EXPECT_EQ((*h)->load("c", std::nullopt, nullptr).message(), kNoPath);
  Status compact = (*h)->compact();
  EXPECT_EQ(compact.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(compact.message(), "compact requires data_dir to be set");
  EXPECT_EQ((*h)->save("nope", root_, nullptr).message(), "collection 'nope' not found");
  // Explicit paths work, and a load replaces the collection of that name.
  ASSERT_TRUE((*h)->save("c", root_, nullptr).ok());
  insert(**h, "c", 2);
  ASSERT_TRUE((*h)->load("c", root_, nullptr).ok());
  EXPECT_EQ((*h)->get_collection("c")->document_count(), 1u);
}

TEST_F(HandleTest, CreateCollectionRefusesBadArgumentsBeforeLogging) {
  Handle h = open();
  HnswConfig m1 = small_config();
  m1.m = 1;
  HnswConfig ef0 = small_config();
  ef0.ef_construction = 0;
  struct Case {
    std::string name;
    uint64_t dim;
    HnswConfig config;
    std::string message;
  };
  const Case cases[] = {
      {"c", 0, small_config(), "dimension must be at least 1"},
      {"c", 3, m1, "m must be at least 2, got 1"},
      {"c", 3, ef0, "ef_construction must be at least 1"},
      {"", 3, small_config(), "collection name must not be empty"},
      {"..", 3, small_config(), "collection name '..' is not a valid file name"},
      {"a/b", 3, small_config(), "collection name 'a/b' must not contain '/'"},
      {std::string("a\0b", 3), 3, small_config(),
       "collection name must not contain a NUL character"},
      {std::string(248, 'x'), 3, small_config(),
       "collection name is 248 bytes long; at most 247 are allowed"},
  };
  for (const Case& t : cases) {
    Status s = h->create_collection(t.name, t.dim, t.config);
    EXPECT_EQ(s.code(), StatusCode::kInvalidArgument) << t.message;
    EXPECT_EQ(s.message(), t.message);
  }
  EXPECT_EQ(wal_size(), 0u);
  EXPECT_TRUE(h->list_collections().empty());
  ASSERT_TRUE(h->create_collection(std::string(247, 'x'), 3, small_config()).ok());
  // A taken name fails after its record was appended; replay ignores the duplicate.
  create(*h, "c");
  const uint64_t before = wal_size();
  Status dup = h->create_collection("c", 5, small_config());
  EXPECT_EQ(dup.code(), StatusCode::kAlreadyExists);
  EXPECT_EQ(dup.message(), "Collection 'c' already exists");
  EXPECT_GT(wal_size(), before);
  h.reset();
  h = open();
  EXPECT_EQ(h->get_collection("c")->dimension(), 3u);
}

TEST_F(HandleTest, DocumentChecksComeBeforeTheLog) {
  Handle h = open();
  create(*h, "c");
  insert(*h, "c", 1);
  auto c = h->get_collection("c");
  const uint64_t before = wal_size();

  auto wrong = h->insert(c, "c", Document(uuid_of(2), "x", {}), std::vector<float>{1, 2});
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(wrong.error().message(), "embedding dimension mismatch: expected 3, got 2");

  auto live = h->insert(c, "c", Document(uuid_of(1), "again", {}), emb(1));
  ASSERT_FALSE(live.has_value());
  EXPECT_EQ(live.error().code(), StatusCode::kAlreadyExists);
  EXPECT_EQ(live.error().message(), "document '" + uuid_of(1).to_string() + "' already exists");

  std::vector<DocumentWithEmbedding> repeated = {{Document(uuid_of(5), "a", {}), emb(5)},
                                                 {Document(uuid_of(5), "b", {}), emb(5)}};
  auto rep = h->batch_insert(c, "c", repeated);
  ASSERT_FALSE(rep.has_value());
  EXPECT_EQ(rep.error().message(),
            "document '" + uuid_of(5).to_string() + "' appears more than once in the batch");
  std::vector<DocumentWithEmbedding> with_live = {{Document(uuid_of(6), "a", {}), emb(6)},
                                                  {Document(uuid_of(1), "b", {}), emb(1)}};
  EXPECT_EQ(h->batch_insert(c, "c", with_live).error().code(), StatusCode::kAlreadyExists);
  std::vector<DocumentWithEmbedding> short_emb = {{Document(uuid_of(7), "a", {}), emb(7)},
                                                  {Document(uuid_of(8), "b", {}), {1}}};
  EXPECT_EQ(h->batch_insert(c, "c", short_emb).error().message(),
            "embedding dimension mismatch: expected 3, got 1");

  EXPECT_EQ(wal_size(), before);
  EXPECT_EQ(c->document_count(), 1u);

  // A reference to a collection that was replaced under its name is refused: its record would
  // replay onto the new one.
  ASSERT_TRUE(h->delete_collection("c").value());
  create(*h, "c");
  auto stale = h->insert(c, "c", Document(uuid_of(9), "x", {}), emb(9));
  ASSERT_FALSE(stale.has_value());
  EXPECT_EQ(stale.error().code(), StatusCode::kNotFound);
  EXPECT_EQ(stale.error().message(), "collection 'c' not found");
  // A deleted id may come back.
  auto fresh = h->get_collection("c");
  insert(*h, "c", 1);
  ASSERT_TRUE(h->delete_document(fresh, "c", uuid_of(1)).value());
  EXPECT_FALSE(h->delete_document(fresh, "c", uuid_of(1)).value());
  insert(*h, "c", 1, "back");
  h.reset();
  h = open();
  EXPECT_EQ(state_of(*h)["c"].second, (std::map<Uuid, std::string>{{uuid_of(1), "back"}}));
}

TEST_F(HandleTest, RestartRecoversEveryAcknowledgedChange) {
  State expected;
  {
    Handle h = open();
    create(*h, "a");
    create(*h, "b");
    create(*h, "gone");
    for (uint32_t i = 0; i < 30; ++i) insert(*h, i % 2 ? "a" : "b", i);
    std::vector<DocumentWithEmbedding> batch;
    for (uint32_t i = 100; i < 110; ++i) {
      batch.push_back({Document(uuid_of(i), "batch " + std::to_string(i), {}), emb(float(i))});
    }
    ASSERT_TRUE(h->batch_insert(h->get_collection("a"), "a", batch).has_value());
    ASSERT_TRUE(h->batch_insert(h->get_collection("a"), "a", {}).value().empty());
    ASSERT_TRUE(h->delete_document(h->get_collection("a"), "a", uuid_of(5)).value());
    ASSERT_TRUE(h->delete_collection("gone").value());
    EXPECT_FALSE(h->delete_collection("never").value());
    expected = state_of(*h);
  }
  EXPECT_EQ(expected["a"].second.size(), 24u);
  for (int restart = 0; restart < 2; ++restart) {
    Handle h = open();
    EXPECT_EQ(state_of(*h), expected) << restart;
  }
}

TEST_F(HandleTest, SavingOneCollectionKeepsTheOthersChanges) {
  State expected;
  {
    Handle h = open();
    create(*h, "a");
    create(*h, "b");
    insert(*h, "a", 1);
    insert(*h, "b", 2);
    ASSERT_TRUE(h->save("a", std::nullopt, nullptr).ok());
    EXPECT_EQ(wal_size(), 0u);
    insert(*h, "b", 3);
    ASSERT_TRUE(h->save("a", std::nullopt, nullptr).ok());
    expected = state_of(*h);
  }
  Handle h = open();
  EXPECT_EQ(state_of(*h), expected);
  EXPECT_EQ(expected["b"].second.size(), 2u);
}

TEST_F(HandleTest, SavingToAnotherDirectoryAlsoWritesTheDataDirSnapshot) {
  const std::string elsewhere = join_path(root_, "elsewhere");
  auto key = key_of(kKeyHex);
  State expected;
  {
    Handle h = open();
    create(*h, "a");
    insert(*h, "a", 1);
    ASSERT_TRUE(h->save("a", elsewhere, key).ok());
    EXPECT_EQ(wal_size(), 0u);
    expected = state_of(*h);
  }
  // The copy elsewhere is sealed with the call's key; data_dir's uses the handle's (none).
  auto sealed = read_file(join_path(elsewhere, "a.twl"));
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(std::string(sealed->begin(), sealed->begin() + 4), "TCE1");
  Handle h = open();
  EXPECT_EQ(state_of(*h), expected);
}

TEST_F(HandleTest, DeletedCollectionsStayDeleted) {
  {
    Handle h = open();
    create(*h, "a");
    create(*h, "b");
    insert(*h, "a", 1);
    ASSERT_TRUE(h->compact().ok());
    ASSERT_TRUE(fs::exists(file("a.twl")));
    ASSERT_TRUE(h->delete_collection("a").value());
    insert(*h, "b", 2);
    ASSERT_TRUE(h->save("b", std::nullopt, nullptr).ok());  // the log is cut here
  }
  EXPECT_FALSE(fs::exists(file("a.twl")));
  {
    Handle h = open();
    EXPECT_EQ(h->list_collections(), std::vector<std::string>{"b"});
    // Deleted and created again before the checkpoint: the new one is what remains.
    create(*h, "b2");
    ASSERT_TRUE(h->compact().ok());
    ASSERT_TRUE(h->delete_collection("b2").value());
    create(*h, "b2");
    insert(*h, "b2", 7, "new");
    ASSERT_TRUE(h->compact().ok());
  }
  Handle h = open();
  State s = state_of(*h);
  EXPECT_EQ(s.size(), 2u);
  EXPECT_EQ(s["b2"].second, (std::map<Uuid, std::string>{{uuid_of(7), "new"}}));
}

TEST_F(HandleTest, FilesThatFailedToLoadAreNeverRemoved) {
  {
    Handle h = open();
    create(*h, "x");
    insert(*h, "x", 1);
    ASSERT_TRUE(h->compact().ok());
  }
  // Damage x.twl: the next start skips it silently, and nothing may remove it, not even the
  // replay of a deletion of a collection named x.
  std::fstream(file("x.twl"), std::ios::in | std::ios::out | std::ios::binary).seekp(10).put('!');
  const Bytes damaged = *read_file(file("x.twl"));
  {
    Handle h = open();
    EXPECT_TRUE(h->list_collections().empty());
    EXPECT_FALSE(h->delete_collection("x").value());
    create(*h, "y");
    ASSERT_TRUE(h->compact().ok());
  }
  {
    Handle h = open();
    EXPECT_EQ(h->list_collections(), std::vector<std::string>{"y"});
    ASSERT_TRUE(h->compact().ok());
  }
  EXPECT_EQ(*read_file(file("x.twl")), damaged);
}

TEST_F(HandleTest, LoadIsAllOrNothing) {
  const std::string other = join_path(root_, "other");
  {
    // A file holding collection "stored".
    auto e = DatabaseHandle::open(std::nullopt, nullptr);
    ASSERT_TRUE((*e)->create_collection("stored", 3, small_config()).ok());
    insert(**e, "stored", 40, "from file");
    ASSERT_TRUE((*e)->save("stored", other, nullptr).ok());
    fs::rename(join_path(other, "stored.twl"), join_path(other, "renamed.twl"));
  }
  Handle h = open();
  create(*h, "renamed");
  insert(*h, "renamed", 1);
  create(*h, "stored");
  const State before = state_of(*h);

  Status missing = h->load("absent", other, nullptr);
  EXPECT_EQ(missing.code(), StatusCode::kIoError);
  EXPECT_EQ(missing.message().rfind("failed to load 'absent': ", 0), 0u) << missing.message();
  Status bad_name = h->load("../x", other, nullptr);
  EXPECT_EQ(bad_name.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(state_of(*h), before);

  // Whatever name the file stores, it is registered under the name given alone: "stored" (a
  // collection of its own) stays as it was, and no empty collection appears for it.
  ASSERT_TRUE(h->load("renamed", other, nullptr).ok());
  EXPECT_EQ(wal_size(), 0u);
  EXPECT_EQ(h->get_collection("renamed")->name(), "renamed");
  insert(*h, "renamed", 2);  // logged against the loaded collection
  const State after = state_of(*h);
  EXPECT_EQ(after.at("renamed").second,
            (std::map<Uuid, std::string>{{uuid_of(40), "from file"}, {uuid_of(2), "doc 2"}}));
  EXPECT_TRUE(after.at("stored").second.empty());
  EXPECT_EQ(after.size(), 2u);
  ASSERT_TRUE(h->delete_collection("stored").value());
  ASSERT_TRUE(h->load("copy", other, nullptr).code() == StatusCode::kIoError);
  fs::copy_file(join_path(other, "renamed.twl"), join_path(other, "copy.twl"));
  ASSERT_TRUE(h->load("copy", other, nullptr).ok());
  EXPECT_EQ(h->list_collections().size(), 2u);  // "renamed" and "copy", no "stored"
  const State last = state_of(*h);
  h.reset();
  h = open();
  EXPECT_EQ(state_of(*h), last);
}

TEST_F(HandleTest, LoadDiscardsTheLoggedChangesOfTheCollectionItReplaces) {
  {
    Handle h = open();
    create(*h, "c");
    create(*h, "other");
    insert(*h, "c", 1);
    ASSERT_TRUE(h->save("c", std::nullopt, nullptr).ok());
    insert(*h, "c", 2);      // logged, then discarded by the load below
    insert(*h, "other", 3);  // logged, and kept
    ASSERT_TRUE(h->load("c", std::nullopt, nullptr).ok());
    EXPECT_EQ(h->get_collection("c")->document_count(), 1u);
  }
  Handle h = open();
  State s = state_of(*h);
  EXPECT_EQ(s["c"].second, (std::map<Uuid, std::string>{{uuid_of(1), "doc 1"}}));
  EXPECT_EQ(s["other"].second, (std::map<Uuid, std::string>{{uuid_of(3), "doc 3"}}));
}

TEST_F(HandleTest, ConcurrentChangesAndCheckpointsLoseNothing) {
  State expected;
  {
    Handle h = open();
    create(*h, "a");
    create(*h, "b");
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
      writers.emplace_back([&, w] {
        const std::string name = w == 0 ? "a" : "b";
        auto c = h->get_collection(name);
        for (uint32_t i = 0; i < 150; ++i) {
          const uint32_t id = static_cast<uint32_t>(w) * 1000 + i;
          auto r = h->insert(c, name, Document(uuid_of(id), "t", {}), emb(float(i)));
          ASSERT_TRUE(r.has_value()) << r.error().message();
          if (i % 5 == 4) {
            ASSERT_TRUE(h->delete_document(c, name, uuid_of(id - 2)).has_value());
          }
        }
      });
    }
    std::thread checkpointer([&] {
      for (int i = 0; !done; ++i) {
        Status s = i % 3 == 0 ? h->compact() : h->save(i % 2 ? "a" : "b", std::nullopt, nullptr);
        ASSERT_TRUE(s.ok()) << s.message();
      }
    });
    for (auto& t : writers) t.join();
    done = true;
    checkpointer.join();
    expected = state_of(*h);
  }
  EXPECT_EQ(expected["a"].second.size(), 120u);
  Handle h = open();
  EXPECT_EQ(state_of(*h), expected);
}

TEST_F(HandleTest, LoadWithAndWithoutTheKey) {
  auto key = key_of(kKeyHex);
  Handle h = open(key);
  create(*h, "c");
  insert(*h, "c", 1);
  ASSERT_TRUE(h->save("c", std::nullopt, nullptr).ok());  // sealed with the handle's key
  auto bytes = read_file(file("c.twl"));
  EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 4), "TCE1");
  Status no_key = h->load("c", std::nullopt, nullptr);
  EXPECT_EQ(no_key.message(), "failed to load 'c': snapshot \"" + file("c.twl") +
                                  "\" is encrypted but no encryption key was provided");
  ASSERT_TRUE(h->load("c", std::nullopt, key).ok());
  EXPECT_EQ(h->get_collection("c")->document_count(), 1u);
}

TEST_F(HandleTest, TornTailIsCutBackBeforeAppending) {
  {
    Handle h = open();
    create(*h, "c");
    insert(*h, "c", 1);
  }
  const uint64_t good = wal_size();
  {
    std::ofstream out(file(WAL_FILE_NAME), std::ios::binary | std::ios::app);
    out.write("\x00\x00\x01\x00garbage", 11);  // a torn record
  }
  {
    Handle h = open();
    EXPECT_EQ(wal_size(), good);
    insert(*h, "c", 2);
  }
  Handle h = open();
  EXPECT_EQ(h->get_collection("c")->document_count(), 2u);
}

TEST_F(HandleTest, LogOfAnotherKeyIsRefusedAndLeftAlone) {
  {
    Handle h = open(key_of(kKeyHex));
    create(*h, "c");
  }
  const Bytes log = *read_file(file(WAL_FILE_NAME));
  for (auto key : {std::shared_ptr<const EncryptionKey>(), key_of(kOtherKeyHex)}) {
    auto h = try_open(key);
    ASSERT_FALSE(h.has_value());
    EXPECT_EQ(h.error().message().rfind("WAL replay failed: ", 0), 0u) << h.error().message();
    EXPECT_EQ(*read_file(file(WAL_FILE_NAME)), log);
  }
  Handle h = open(key_of(kKeyHex));
  EXPECT_EQ(h->list_collections(), std::vector<std::string>{"c"});
}

TEST_F(HandleTest, UndecodableRecordIsSkippedAndLaterOnesApplied) {
  {
    auto wal = SyncWriteAheadLog::open(dir_, nullptr);
    ASSERT_TRUE(wal.has_value());
    ASSERT_TRUE((*wal)->append(encode_create_collection_record("c", 3, small_config())).ok());
    const Bytes tag6 = {6, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'c'};
    ASSERT_TRUE((*wal)->append(tag6).ok());
    ASSERT_TRUE((*wal)->append(Bytes{1, 2}).ok());
    ASSERT_TRUE(
        (*wal)->append(encode_insert_record("c", Document(uuid_of(1), "x", {}), emb(1))).ok());
  }
  Handle h = open();
  EXPECT_EQ(h->get_collection("c")->document_count(), 1u);
}

TEST_F(HandleTest, CanonicalFileWinsOverStaleCopies) {
  {
    Handle h = open();
    create(*h, "a");
    insert(*h, "a", 1, "old");
    ASSERT_TRUE(h->compact().ok());
  }
  // Stale copies under many names, so that some of them list before "a.twl" and some after.
  const Bytes stale = *read_file(file("a.twl"));
  {
    Handle h = open();
    insert(*h, "a", 2, "new");
    ASSERT_TRUE(h->compact().ok());
  }
  for (char n = 'b'; n <= 'p'; ++n) {
    std::ofstream(file(std::string(1, n) + ".twl"), std::ios::binary)
        .write(reinterpret_cast<const char*>(stale.data()), std::streamsize(stale.size()));
  }
  {
    Handle h = open();
    EXPECT_EQ(h->get_collection("a")->document_count(), 2u);
    // Deleting "a" removes every file holding it, or a stale copy would bring it back.
    ASSERT_TRUE(h->delete_collection("a").value());
    ASSERT_TRUE(h->compact().ok());
  }
  Handle h = open();
  EXPECT_TRUE(h->list_collections().empty());
}

TEST_F(HandleTest, OverwritingAFileThatHoldsAnotherCollectionSavesThatOneFirst) {
  {
    Handle h = open();
    create(*h, "a");
    insert(*h, "a", 1);
    ASSERT_TRUE(h->compact().ok());
  }
  fs::rename(file("a.twl"), file("b.twl"));  // "b.twl" now holds collection "a"
  State expected;
  {
    Handle h = open();
    EXPECT_EQ(h->list_collections(), std::vector<std::string>{"a"});
    create(*h, "b");
    insert(*h, "b", 2);
    ASSERT_TRUE(h->save("b", std::nullopt, nullptr).ok());
    expected = state_of(*h);
  }
  EXPECT_TRUE(fs::exists(file("a.twl")));
  Handle h = open();
  EXPECT_EQ(state_of(*h), expected);
}

TEST_F(HandleTest, StartUpRules) {
  // A missing directory is created with an empty, private log.
  {
    Handle h = open();
    struct stat st;
    ASSERT_EQ(::stat(file(WAL_FILE_NAME).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    create(*h, "x");
    ASSERT_TRUE(h->compact().ok());
    // One handle per directory.
    auto second = try_open();
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().message().rfind("failed to open WAL: ", 0), 0u);
  }
  // Only "x.twl" is a snapshot among these.
  fs::copy_file(file("x.twl"), file("x.twl.tmp"));
  fs::copy_file(file("x.twl"), file(".twl"));
  fs::copy_file(file("x.twl"), file("x.TWL"));
  {
    Handle h = open();
    EXPECT_EQ(h->list_collections(), std::vector<std::string>{"x"});
  }
  // A data directory that is a regular file cannot be listed.
  const std::string plain_file = join_path(root_, "plain");
  std::ofstream(plain_file) << "x";
  auto h = DatabaseHandle::open(plain_file, nullptr);
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().message(),
            "failed to load snapshots from '" + plain_file + "': Not a directory (os error 20)");
}

TEST_F(HandleTest, SnapshotsOfAnotherKeyAreSkippedSilently) {
  {
    Handle h = open(key_of(kKeyHex));
    create(*h, "c");
    ASSERT_TRUE(h->compact().ok());  // the log is empty afterwards
  }
  Handle h = open(key_of(kOtherKeyHex));
  EXPECT_TRUE(h->list_collections().empty());
  EXPECT_TRUE(fs::exists(file("c.twl")));
}

TEST_F(HandleTest, CompactWithoutCollectionsEmptiesTheLog) {
  Handle h = open();
  create(*h, "c");
  ASSERT_TRUE(h->delete_collection("c").value());
  EXPECT_GT(wal_size(), 0u);
  ASSERT_TRUE(h->compact().ok());
  EXPECT_EQ(wal_size(), 0u);
}

TEST_F(HandleTest, FailedAppendChangesNothing) {
  Handle h = open();
  create(*h, "c");
  insert(*h, "c", 1);
  const uint64_t size = wal_size();
  // Writes past the current length fail with EFBIG.
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = size;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  auto r = h->insert(h->get_collection("c"), "c", Document(uuid_of(2), "x", {}), emb(2));
  Status d = h->create_collection("d", 3, small_config());
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  std::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), StatusCode::kIoError);
  EXPECT_EQ(r.error().message().rfind("WAL write failed: ", 0), 0u) << r.error().message();
  EXPECT_EQ(d.message().rfind("WAL write failed: ", 0), 0u);
  EXPECT_EQ(h->get_collection("c")->document_count(), 1u);
  EXPECT_EQ(h->get_collection("d"), nullptr);
  EXPECT_EQ(wal_size(), size);
  insert(*h, "c", 3);  // the log works again
  h.reset();
  h = open();
  EXPECT_EQ(h->get_collection("c")->document_count(), 2u);
}

}  // namespace
}  // namespace tarnwell_core
