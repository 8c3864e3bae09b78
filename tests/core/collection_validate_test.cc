// validate() on collections read from files: each documented check with its exact message, in
// order, then the checks that keep later operations inside their arrays. Broken inputs are made
// by damaging the persisted form of a sound collection one field at a time.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "collection_test_util.h"
#include "core/collection/collection.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::add_document;
using testing_util::doc;
using testing_util::remove_document;
using testing_util::fields_of;
using testing_util::uid;

constexpr uint32_t kNodes = 5;
constexpr uint64_t kSeed = 3;  // the level seed of the sound collection

// Five documents of dimension 4 with raw vectors; node 0 is the entry point.
CollectionFields sound_fields() {
  Collection c = testing_util::seeded_collection(
      "c", 4, testing_util::config_with(DistanceMetric::Euclidean, true), kSeed);
  for (uint32_t i = 0; i < kNodes; ++i) {
    const float x = static_cast<float>(i);
    c.insert_document(doc(i, "text number " + std::to_string(i)), std::vector<float>{x, 1, 2, 3});
  }
  return fields_of(c);
}

// A node other than the entry point.
uint32_t non_entry(const CollectionFields& f) { return *f.hnsw.entry_point == 1 ? 2 : 1; }

PqCodebook codebook_2x2() {
  PqCodebook b;
  b.num_subspaces = 2;
  b.subspace_dim = 2;
  b.centroids.assign(2 * 256 * 2, 0.5f);
  return b;
}

struct Case {
  const char* name;
  std::function<void(CollectionFields&)> damage;
  std::function<std::string(const CollectionFields&)> message;
};

std::function<std::string(const CollectionFields&)> fixed(std::string m) {
  return [m](const CollectionFields&) { return m; };
}

void run(const std::vector<Case>& cases) {
  TRACE_LEVEL_SEED(kSeed);
  for (const Case& c : cases) {
    CollectionFields f = sound_fields();
    ASSERT_TRUE(validate(f).ok()) << validate(f).message();
    c.damage(f);
    const Status s = validate(f);
    EXPECT_EQ(s.code(), StatusCode::kInvalidData) << c.name;
    EXPECT_EQ(s.message(), c.message(f)) << c.name;
  }
}

TEST(CollectionValidate, DocumentedChecksInOrder) {
  run({
      {"index dimension", [](auto& f) { f.hnsw.dimension = 5; },
       fixed("HNSW dimension 5 != collection dimension 4")},
      {"vector_data", [](auto& f) { f.hnsw.vector_data.pop_back(); },
       fixed("vector_data length 19 != node_count(5) * dimension(4)")},
      {"vector_min", [](auto& f) { f.hnsw.vector_min.push_back(0); },
       fixed("vector_min length 6 != node_count 5")},
      {"vector_scale", [](auto& f) { f.hnsw.vector_scale.pop_back(); },
       fixed("vector_scale length 4 != node_count 5")},
      {"neighbors", [](auto& f) { f.hnsw.neighbors.pop_back(); },
       fixed("neighbors length 4 != node_count 5")},
      {"layers", [](auto& f) { f.hnsw.layers.push_back(0); },
       fixed("layers length 6 != node_count 5")},
      {"deleted", [](auto& f) { f.hnsw.deleted.pop_back(); },
       fixed("deleted length 4 != node_count 5")},
      {"pq_codes",
       [](auto& f) {
         f.hnsw.pq_codebook = codebook_2x2();
         f.hnsw.pq_codes.assign(3, 0);
       },
       fixed("pq_codes length 3 != node_count(5) * num_subspaces(2)")},
      {"table sizes", [](auto& f) { f.uuid_to_internal[uid(77)] = 0; },
       fixed("uuid_to_internal(6) != internal_to_uuid(5)")},
      {"internal_to_uuid",
       [](auto& f) {
         f.uuid_to_internal[uid(77)] = 5;
         f.internal_to_uuid.push_back(uid(77));
       },
       fixed("internal_to_uuid length 6 != node_count 5")},
      {"documents", [](auto& f) { add_document(f.documents, uid(77), doc(77)); },
       fixed("documents(6) > node_count(5)")},
      {"entry point", [](auto& f) { f.hnsw.entry_point = 5; },
       fixed("entry_point 5 >= node_count 5")},
      {"neighbor", [](auto& f) { f.hnsw.neighbors[3][0].push_back(5); },
       fixed("neighbor 5 out of bounds (node_count=5) at node 3 layer 0")},
      // The first failing check is the one reported.
      {"first failure wins",
       [](auto& f) {
         f.hnsw.neighbors[3][0].push_back(9);
         f.hnsw.deleted.pop_back();
       },
       fixed("deleted length 4 != node_count 5")},
  });
}

TEST(CollectionValidate, EmptyCollections) {
  Collection empty("e", 4, HnswConfig{});
  CollectionFields f = fields_of(empty);
  EXPECT_TRUE(validate(f).ok());
  // A codebook without codes is still consistent with no nodes, and codes without a codebook
  // are not checked.
  f.hnsw.pq_codes.assign(8, 1);
  EXPECT_TRUE(validate(f).ok());
  f.hnsw.entry_point = 0;
  EXPECT_EQ(validate(f).message(), "entry_point 0 >= node_count 0");
  f.hnsw.entry_point.reset();
  add_document(f.documents, uid(1), doc(1));
  EXPECT_EQ(validate(f).message(), "documents(1) > node_count(0)");
}

TEST(CollectionValidate, NameMustBeAFileName) {
  run({
      {"empty", [](auto& f) { f.name = ""; }, fixed("stored collection name must not be empty")},
      {"dot", [](auto& f) { f.name = "."; }, fixed("stored collection name '.' is not a valid file name")},
      {"dot dot", [](auto& f) { f.name = ".."; }, fixed("stored collection name '..' is not a valid file name")},
      {"slash", [](auto& f) { f.name = "a/b"; },
       fixed("stored collection name 'a/b' must not contain '/'")},
      {"nul", [](auto& f) { f.name = std::string("a\0b", 3); },
       fixed("stored collection name must not contain a NUL character")},
      {"too long", [](auto& f) { f.name = std::string(248, 'n'); },
       fixed("stored collection name is 248 bytes long; at most 247 are allowed")},
  });
  CollectionFields f = sound_fields();
  f.name = std::string(247, 'n');
  EXPECT_TRUE(validate(f).ok());
  f.name = "..a";
  EXPECT_TRUE(validate(f).ok());
}

TEST(CollectionValidate, ConfigurationRules) {
  run({
      {"m", [](auto& f) { f.hnsw.config.m = 1; }, fixed("config m 1 < 2")},
      {"ef_construction", [](auto& f) { f.hnsw.config.ef_construction = 0; },
       fixed("config ef_construction is 0")},
      {"max_layers 0", [](auto& f) { f.hnsw.config.max_layers = 0; },
       fixed("config max_layers 0 outside 1..255")},
      {"max_layers 256", [](auto& f) { f.hnsw.config.max_layers = 256; },
       fixed("config max_layers 256 outside 1..255")},
      {"m_max0", [](auto& f) { f.hnsw.config.m_max0 = 15; }, fixed("config m_max0 15 < m 16")},
      {"pq_subspaces", [](auto& f) { f.hnsw.config.pq_subspaces = 3; },
       fixed("config pq_subspaces 3 does not divide dimension 4")},
  });
  Collection zero("z", 0, HnswConfig{});
  EXPECT_EQ(validate(fields_of(zero)).message(), "collection dimension is 0");
}

TEST(CollectionValidate, IndexShape) {
  run({
      {"raw vectors short", [](auto& f) { f.hnsw.raw_vectors.pop_back(); },
       fixed("raw_vectors length 19 != node_count(5) * dimension(4)")},
      {"raw vectors unexpected", [](auto& f) { f.hnsw.config.store_raw_vectors = false; },
       fixed("raw_vectors length 20 but store_raw_vectors is false")},
      {"max_level huge", [](auto& f) { f.hnsw.max_level = 1ull << 40; },
       fixed("max_level 1099511627776 > 255")},
      {"max_level not the entry's", [](auto& f) { f.hnsw.max_level = f.hnsw.layers[0] + 1; },
       [](const auto& f) {
         return "max_level " + std::to_string(f.hnsw.max_level) + " != level " +
                std::to_string(f.hnsw.layers[*f.hnsw.entry_point]) + " of entry_point " +
                std::to_string(*f.hnsw.entry_point);
       }},
      {"level beyond max_layers",
       [](auto& f) {
         f.hnsw.layers[non_entry(f)] = 16;
         f.hnsw.neighbors[non_entry(f)].resize(17);
       },
       [](const auto& f) {
         return "node " + std::to_string(non_entry(f)) + " level 16 >= max_layers 16";
       }},
      {"too few lists",
       [](auto& f) {
         const uint32_t i = non_entry(f);
         f.hnsw.layers[i] = static_cast<uint8_t>(f.hnsw.neighbors[i].size());
       },
       [](const auto& f) {
         const uint32_t i = non_entry(f);
         return "node " + std::to_string(i) + " has " + std::to_string(f.hnsw.layers[i]) +
                " adjacency lists for level " + std::to_string(f.hnsw.layers[i]);
       }},
      {"too many lists", [](auto& f) { f.hnsw.neighbors[non_entry(f)].resize(17); },
       [](const auto& f) {
         return "node " + std::to_string(non_entry(f)) +
                " has 17 adjacency lists, more than max_layers 16";
       }},
      // Insertion never makes a list longer than its layer's cap.
      {"layer-0 list over its cap",
       [](auto& f) { f.hnsw.neighbors[non_entry(f)][0].assign(f.hnsw.config.m_max0 + 1, 0); },
       [](const auto& f) {
         return "node " + std::to_string(non_entry(f)) + " layer 0 has 33 neighbours, more " +
                "than its cap 32";
       }},
      {"upper list over its cap",
       [](auto& f) {
         f.hnsw.layers[non_entry(f)] = 1;
         f.hnsw.neighbors[non_entry(f)].resize(2);
         f.hnsw.neighbors[non_entry(f)][1].assign(17, 0);
       },
       [](const auto& f) {
         return "node " + std::to_string(non_entry(f)) + " layer 1 has 17 neighbours, more " +
                "than its cap 16";
       }},
  });
}

// One long list among many short ones would cost node_count times its length once the index is
// built: such a file is refused unless it is large enough to pay for it.
TEST(CollectionValidate, AdjacencyMayNotOutgrowItsFile) {
  CollectionFields f = sound_fields();
  f.hnsw.config.m_max0 = 1 << 20;
  f.hnsw.neighbors[0][0].assign(1 << 20, 1);
  f.source_bytes = 0;  // unknown: only the caps apply
  EXPECT_TRUE(validate(f).ok());
  f.source_bytes = 4 << 20;  // the list alone takes 4 MiB in the file
  EXPECT_TRUE(validate(f).ok()) << validate(f).message();
  const uint32_t extra = 200000;  // many nodes with nothing: small in a file, huge once laid out
  for (uint32_t i = 0; i < extra; ++i) {
    f.hnsw.vector_data.insert(f.hnsw.vector_data.end(), 4, 0);
    f.hnsw.vector_min.push_back(0);
    f.hnsw.vector_scale.push_back(0);
    f.hnsw.raw_vectors.insert(f.hnsw.raw_vectors.end(), 4, 0.0f);
    f.hnsw.neighbors.push_back({{}});
    f.hnsw.layers.push_back(0);
    f.hnsw.deleted.push_back(1);
    const Uuid u = uid(1000 + i);
    f.uuid_to_internal.emplace(u, f.hnsw.node_count);
    f.internal_to_uuid.push_back(u);
    ++f.hnsw.node_count;
  }
  f.source_bytes = (4 << 20) + extra * 64;
  ASSERT_TRUE(validate(f).code() == StatusCode::kInvalidData);
  EXPECT_NE(validate(f).message().find("neighbour lists would take"), std::string::npos)
      << validate(f).message();
}

TEST(CollectionValidate, ProductQuantizationShape) {
  const auto with_book = [](std::function<void(PqCodebook&)> damage) {
    return [damage](CollectionFields& f) {
      PqCodebook b = codebook_2x2();
      damage(b);
      f.hnsw.pq_codebook = b;
      f.hnsw.pq_codes.assign(kNodes * std::min<uint64_t>(b.num_subspaces, 2), 0);
    };
  };
  run({
      {"centroid count", with_book([](PqCodebook& b) { b.num_centroids = 255; }),
       fixed("pq_codebook num_centroids 255 != 256")},
      {"subspaces", with_book([](PqCodebook& b) { b.subspace_dim = 1; }),
       fixed("pq_codebook num_subspaces(2) * subspace_dim(1) != dimension 4")},
      {"wrapping product", with_book([](PqCodebook& b) {
         b.num_subspaces = (1ull << 62) + 1;  // times 4 wraps to 4
         b.subspace_dim = 4;
       }),
       fixed("pq_codes length 10 != node_count(5) * num_subspaces(4611686018427387905)")},
      {"centroid table", with_book([](PqCodebook& b) { b.centroids.pop_back(); }),
       fixed("pq_codebook centroids length 1023 != 1024")},
  });
  CollectionFields f = sound_fields();
  f.hnsw.pq_codebook = codebook_2x2();
  f.hnsw.pq_codes.assign(kNodes * 2, 0);
  EXPECT_TRUE(validate(f).ok());
}

TEST(CollectionValidate, IdTablesAndDocuments) {
  run({
      {"internal id beyond nodes", [](auto& f) { f.uuid_to_internal[uid(2)] = 7; },
       fixed("uuid_to_internal maps " + uid(2).to_string() + " to 7 (node_count=5)")},
      {"tables disagree",
       [](auto& f) {
         f.uuid_to_internal[uid(1)] = 2;
         f.uuid_to_internal[uid(2)] = 1;
       },
       [](const auto& f) {
         // Either swapped entry may be met first.
         for (uint32_t a : {1u, 2u}) {
           const uint32_t b = 3 - a;
           const std::string m = "uuid_to_internal maps " + uid(a).to_string() + " to " +
                                 std::to_string(b) + " but internal_to_uuid[" + std::to_string(b) +
                                 "] is " + uid(b).to_string();
           if (validate(f).message() == m) return m;
         }
         return std::string("one of the swapped entries");
       }},
      {"key differs from id",
       [](auto& f) {
         remove_document(f.documents, uid(1));
         add_document(f.documents, uid(1), doc(2));
       },
       fixed("documents key " + uid(1).to_string() + " holds document " + uid(2).to_string())},
      {"document stored twice",
       [](auto& f) {
         remove_document(f.documents, uid(2));
         add_document(f.documents, uid(1), doc(1));
       },
       fixed("document " + uid(1).to_string() + " is stored twice")},
      {"document without node",
       [](auto& f) {
         remove_document(f.documents, uid(1));
         add_document(f.documents, uid(9), doc(9));
       },
       fixed("document " + uid(9).to_string() + " has no internal id")},
  });
}

TEST(CollectionValidate, KeywordIndexCounters) {
  run({
      {"doc_lengths", [](auto& f) { f.bm25.doc_lengths.push_back(1); },
       fixed("bm25 doc_lengths length 6 > node_count 5")},
      {"total_length", [](auto& f) { f.bm25.total_length = 3; },
       fixed("bm25 total_length 3 < sum of doc_lengths 10")},
      {"doc_count", [](auto& f) { f.bm25.doc_count = 0; },
       fixed("bm25 doc_count 0 < indexed documents 5")},
      {"posting",
       [](auto& f) {
         f.bm25.postings["zebra"] = {{5, 1}};
       },
       fixed("bm25 posting of doc 5 out of bounds (node_count=5)")},
  });
}

// Whatever validate() accepts can be used: random damage to counts and ids either fails
// validation or yields a collection that inserts, deletes, searches and rebuilds normally.
TEST(CollectionValidate, AcceptedDamageIsHarmless) {
  std::mt19937 rng(11);
  const auto any = [&](uint64_t bound) { return rng() % bound; };
  int accepted = 0;
  for (int trial = 0; trial < 300; ++trial) {
    CollectionFields f = sound_fields();
    switch (any(9)) {
      case 0:
        f.hnsw.max_level = any(300);
        break;
      case 1:
        f.hnsw.layers[any(kNodes)] = static_cast<uint8_t>(any(20));
        break;
      case 2:
        f.hnsw.neighbors[any(kNodes)].resize(any(20));
        break;
      case 3:
        f.hnsw.entry_point.reset();
        break;
      case 4:
        f.bm25.doc_count = static_cast<uint32_t>(any(8));
        break;
      case 5:
        f.bm25.total_length = any(30);
        break;
      case 6:
        f.hnsw.deleted[any(kNodes)] = static_cast<uint8_t>(any(3));
        break;
      case 7:
        f.hnsw.config.ef_search = any(3);
        break;
      case 8:
        remove_document(f.documents, uid(static_cast<uint32_t>(any(kNodes))));
        break;
    }
    if (!validate(f).ok()) continue;
    ++accepted;
    const std::shared_ptr<Collection> c = Collection::from_fields(std::move(f));
    const std::vector<float> q = {1, 1, 2, 3};
    c->insert_document(doc(100, "text again"), q);
    c->delete_document(uid(2));
    c->insert_document(doc(2, "number two"), q);
    EXPECT_LE(c->vector_search(q, 10, std::nullopt).size(), 10u);
    EXPECT_LE(c->hybrid_search(q, "text number", 10, std::nullopt, 0.5f, FusionMethod::Rrf).size(),
              10u);
    ASSERT_TRUE(c->rebuild().has_value());
    EXPECT_TRUE(validate(fields_of(*c)).ok());
  }
  EXPECT_GT(accepted, 50);
}

}  // namespace
}  // namespace tarnwell_core
