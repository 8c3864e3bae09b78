// The registry and log replay: name rules of the registry, references that outlive removal, the
// replay skip rules (duplicates, missing collections, wrong lengths, unusable creations), and
// replay idempotence over a snapshot that already holds the log's effects.
#include "collection_test_util.h"
#include "core/collection/registry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/storage/snapshot.h"

namespace tarnwell_core {
namespace {

Uuid uuid_of(uint8_t seed) {
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(seed * 31 + i);
  return u;
}

HnswConfig small_config() {
  HnswConfig c;
  c.m = 4;
  c.m_max0 = 8;
  c.ef_construction = 16;
  return c;
}

WalEntry create(const std::string& name, uint64_t dim = 2, HnswConfig config = small_config()) {
  return {WalEntry::CreateCollection{name, dim, config}};
}
WalEntry insert(const std::string& c, uint8_t id, std::vector<float> emb = {1, 2}) {
  return {WalEntry::InsertDocument{c, Document(uuid_of(id), "doc " + std::to_string(id), {}),
                                   std::move(emb)}};
}
WalEntry remove_doc(const std::string& c, uint8_t id) {
  return {WalEntry::DeleteDocument{c, uuid_of(id)}};
}

std::vector<std::string> sorted_names(const Database& db) {
  auto names = db.list_collections();
  std::sort(names.begin(), names.end());
  return names;
}

// Live document ids and texts of a collection, sorted.
std::vector<std::pair<Uuid, std::string>> contents(const Collection& c) {
  return c.read([](const CollectionData& d) {
    std::vector<std::pair<Uuid, std::string>> out;
    for (const Document& doc : testing_util::live_documents(d)) out.emplace_back(doc.id, doc.text);
    std::sort(out.begin(), out.end());
    return out;
  });
}

TEST(DatabaseTest, RegistryOperations) {
  Database db;
  EXPECT_TRUE(db.list_collections().empty());
  EXPECT_EQ(db.total_memory_bytes(), 0u);
  ASSERT_TRUE(db.create_collection("a", 2, small_config()).ok());
  Status dup = db.create_collection("a", 7, HnswConfig{});
  EXPECT_EQ(dup.code(), StatusCode::kAlreadyExists);
  EXPECT_EQ(dup.message(), "Collection 'a' already exists");
  EXPECT_EQ(db.get_collection("a")->dimension(), 2u);  // the first one is untouched
  ASSERT_TRUE(db.create_collection("A", 3, small_config()).ok());
  EXPECT_EQ(sorted_names(db), (std::vector<std::string>{"A", "a"}));

  auto held = db.get_collection("a");
  EXPECT_TRUE(db.delete_collection("a"));
  EXPECT_FALSE(db.delete_collection("a"));
  EXPECT_EQ(db.get_collection("a"), nullptr);
  // A reference taken before the removal stays usable.
  held->insert_document(Document(uuid_of(1), "still here", {}), std::vector<float>{1, 2});
  EXPECT_EQ(held->document_count(), 1u);
  EXPECT_EQ(db.collection_count(), 1u);
}

TEST(DatabaseTest, ReplaySkipRules) {
  Database db;
  HnswConfig other = small_config();
  other.m = 9;
  other.m_max0 = 18;
  HnswConfig zero_m = small_config();
  zero_m.m = 0;
  std::vector<WalEntry> log;
  log.push_back(create("c"));
  log.push_back(insert("c", 1));
  log.push_back(insert("c", 1));             // already present
  log.push_back(create("c", 5, other));      // duplicate creation keeps the first
  log.push_back(insert("missing", 2));       // no such collection
  log.push_back(insert("c", 3, {1, 2, 3}));  // wrong embedding length
  log.push_back(remove_doc("c", 9));         // not there: nothing happens
  log.push_back(remove_doc("missing", 1));   // no collection: nothing happens
  log.push_back(create("bad/name"));         // would not be a file name
  log.push_back(create("zero_dim", 0));      // unusable configurations
  log.push_back(create("zero_m", 2, zero_m));
  log.push_back({WalEntry::BatchInsert{
      "c",
      {{Document(uuid_of(4), "four", {}), {4, 4}},
       {Document(uuid_of(4), "four again", {}), {4, 4}},  // repeated within the batch
       {Document(uuid_of(1), "one again", {}), {1, 1}},   // already present
       {Document(uuid_of(5), "five", {}), {5}}}}});       // wrong length
  log.push_back({WalEntry::BatchInsert{"missing", {{Document(uuid_of(6), "x", {}), {1, 1}}}}});
  ReplaySummary summary = db.replay_wal(std::move(log));

  EXPECT_EQ(sorted_names(db), (std::vector<std::string>{"c"}));
  auto c = db.get_collection("c");
  EXPECT_EQ(c->dimension(), 2u);
  EXPECT_EQ(c->config().m, 4u);
  EXPECT_EQ(contents(*c), (std::vector<std::pair<Uuid, std::string>>{{uuid_of(1), "doc 1"},
                                                                     {uuid_of(4), "four"}}));
  EXPECT_EQ(summary.changed, (std::unordered_set<std::string>{"c"}));
  EXPECT_TRUE(summary.removed.empty());
  EXPECT_EQ(summary.applied, 3u);  // create, insert 1, insert 4
}

TEST(DatabaseTest, ReplayDeletesAndUpdates) {
  Database db;
  std::vector<WalEntry> log;
  log.push_back(create("c"));
  log.push_back(insert("c", 1));
  log.push_back(insert("c", 2));
  log.push_back(remove_doc("c", 1));
  log.push_back({WalEntry::UpdateDocument{"c", uuid_of(2), Document(uuid_of(2), "updated", {}),
                                          std::vector<float>{3, 3}}});
  // An update whose embedding has the wrong length changes nothing, not even its delete.
  log.push_back({WalEntry::UpdateDocument{"c", uuid_of(2), Document(uuid_of(2), "bad", {}),
                                          std::vector<float>{3}}});
  log.push_back(create("gone"));
  log.push_back({WalEntry::DeleteCollection{"gone"}});
  log.push_back({WalEntry::DeleteCollection{"never"}});
  ReplaySummary summary = db.replay_wal(std::move(log));
  auto c = db.get_collection("c");
  EXPECT_EQ(contents(*c), (std::vector<std::pair<Uuid, std::string>>{{uuid_of(2), "updated"}}));
  EXPECT_EQ(sorted_names(db), (std::vector<std::string>{"c"}));
  EXPECT_EQ(summary.removed, (std::unordered_set<std::string>{"gone"}));
  EXPECT_TRUE(summary.changed.contains("gone"));
  // The collection still saves and loads: the update kept its id tables consistent.
  auto bytes = encode_snapshot(*c, nullptr);
  ASSERT_TRUE(bytes.has_value());
  ASSERT_TRUE(decode_snapshot(*bytes, "c", nullptr).has_value());
}

// A crash between a snapshot write and the truncation that follows leaves a log whose effects
// the snapshot already holds; replaying it again must change nothing.
TEST(DatabaseTest, ReplayIsIdempotentOverASnapshotHoldingItsEffects) {
  auto make_log = [] {
    std::vector<WalEntry> log;
    log.push_back(create("c"));
    for (uint8_t i = 0; i < 20; ++i) log.push_back(insert("c", i, {float(i), 1}));
    log.push_back(remove_doc("c", 3));
    log.push_back(remove_doc("c", 7));
    log.push_back(insert("c", 3, {9, 9}));  // re-inserted after its deletion
    return log;
  };
  Database first;
  first.replay_wal(make_log());
  auto c = first.get_collection("c");
  const auto expected = contents(*c);
  auto bytes = encode_snapshot(*c, nullptr);
  ASSERT_TRUE(bytes.has_value());

  for (int round = 0; round < 2; ++round) {
    Database db;
    auto loaded = decode_snapshot(*bytes, "c.twl", nullptr);
    ASSERT_TRUE(loaded.has_value());
    db.register_loaded({*loaded});
    db.replay_wal(make_log());
    if (round == 1) db.replay_wal(make_log());
    EXPECT_EQ(contents(*db.get_collection("c")), expected) << round;
  }
}

TEST(DatabaseTest, InstallLoadedReplacesOnlyItsName) {
  Database db;
  ASSERT_TRUE(db.create_collection("target", 2, small_config()).ok());
  ASSERT_TRUE(db.create_collection("stored", 2, small_config()).ok());
  const auto stored = db.get_collection("stored");
  auto loaded = std::make_shared<Collection>("stored", 2, small_config());
  db.install_loaded("target", loaded);
  EXPECT_EQ(db.get_collection("target"), loaded);
  EXPECT_EQ(db.get_collection("stored"), stored);
  db.install_loaded("fresh", loaded);
  EXPECT_EQ(db.collection_count(), 3u);
}

TEST(DatabaseTest, ConfigurationRules) {
  struct Case {
    uint64_t dim, m, m_max0, ef_construction, max_layers, pq;
    const char* message;  // empty when accepted
  };
  const Case cases[] = {
      {4, 2, 4, 1, 1, 0, ""},
      {4, 16, 32, 200, 255, 2, ""},
      {0, 16, 32, 200, 16, 0, "dimension must be at least 1"},
      {4, 1, 32, 200, 16, 0, "m must be at least 2, got 1"},
      {4, 0, 32, 200, 16, 0, "m must be at least 2, got 0"},
      {4, 16, 32, 0, 16, 0, "ef_construction must be at least 1"},
      {4, 16, 8, 200, 16, 0, "m_max0 (8) must be at least m (16)"},
      {4, 16, 32, 200, 0, 0, "max_layers must be between 1 and 255, got 0"},
      {4, 16, 32, 200, 256, 0, "max_layers must be between 1 and 255, got 256"},
      {6, 16, 32, 200, 16, 4, "pq_subspaces 4 does not divide dimension 6"},
  };
  for (const Case& t : cases) {
    HnswConfig c;
    c.m = t.m;
    c.m_max0 = t.m_max0;
    c.ef_construction = t.ef_construction;
    c.max_layers = t.max_layers;
    c.pq_subspaces = t.pq;
    Status s = validate_collection_config(t.dim, c);
    EXPECT_EQ(s.message(), t.message);
    if (!s.ok()) {
      EXPECT_EQ(s.code(), StatusCode::kInvalidArgument);
    }
  }
}

}  // namespace
}  // namespace tarnwell_core
