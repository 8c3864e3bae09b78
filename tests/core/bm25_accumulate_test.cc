// BM25 scores are the same bits whichever accumulator a query uses: the per-thread dense array
// (queries visiting many postings), the hash table (few postings in a large collection), and
// both at once when a loaded index names ids beyond its document lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/bm25/tokenizer.h"

namespace tarnwell_core {
namespace {

using Hits = std::vector<std::pair<uint32_t, float>>;

// The plain definition: every posting's f32 contribution summed per document in list order,
// then the k best by score, ties at the cut keeping larger ids, listed by ascending id.
Hits reference(const InvertedIndex& idx, const std::string& query, size_t k) {
  const Tokens q = tokenize(query);
  std::map<uint32_t, float> sums;
  const float n_docs = static_cast<float>(idx.doc_count);
  const float avgdl = static_cast<float>(idx.total_length) / n_docs;
  for (size_t i = 0; i < q.size(); ++i) {
    auto it = idx.postings.find(std::string(q.token(i)));
    if (it == idx.postings.end()) continue;
    const float df = static_cast<float>(it->second.size());
    const float idf = std::log((n_docs - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (const Posting& p : it->second) {
      const float dl =
          p.doc_id < idx.doc_lengths.size() ? static_cast<float>(idx.doc_lengths[p.doc_id]) : 0;
      const float norm = (dl * 0.75f) / avgdl + 0.25f;
      const float tf = static_cast<float>(p.term_freq);
      sums[p.doc_id] += idf * ((tf * 2.2f) / (tf + 1.2f * norm));
    }
  }
  Hits all(sums.begin(), sums.end());
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return a.second > b.second || (a.second == b.second && a.first > b.first);
  });
  all.resize(std::min(k, all.size()));
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return a.second > b.second || (a.second == b.second && a.first < b.first);
  });
  return all;
}

// Documents of 1 to 300 words over a skewed vocabulary: word 0 is in most documents, the
// high words in a handful, and long documents take lengths past the precomputed norms.
InvertedIndex random_index(uint32_t docs, std::mt19937& rng) {
  InvertedIndex idx;
  std::geometric_distribution<int> word(0.02);
  std::uniform_int_distribution<int> length(1, 300);
  for (uint32_t d = 0; d < docs; ++d) {
    std::string text;
    const int n = d % 10 == 0 ? length(rng) : 1 + length(rng) % 12;
    for (int i = 0; i < n; ++i) text.append("w").append(std::to_string(word(rng))).append(" ");
    idx.add_document(d, text);
  }
  return idx;
}

TEST(Bm25Accumulate, EveryPathMatchesThePlainDefinition) {
  std::mt19937 rng(11);
  struct Case {
    uint32_t docs;
    std::string query;
    size_t k;
  };
  // Small collections and common words go dense; rare words in the large one use the table.
  const std::vector<Case> cases = {
      {50, "w0", 10},          {50, "w1 w2 w3 w0 w0", 5}, {5000, "w0 w1", 10},
      {5000, "w180 w190", 10}, {5000, "w200", 100000},    {5000, "w150 w3 w150", 7},
      {5000, "w400 w401", 3},  {5000, "nothing", 10},
  };
  std::map<uint32_t, InvertedIndex> indexes;
  for (const Case& c : cases) {
    if (!indexes.contains(c.docs)) indexes.emplace(c.docs, random_index(c.docs, rng));
    const InvertedIndex& idx = indexes.at(c.docs);
    EXPECT_EQ(idx.bm25_search(c.query, c.k), reference(idx, c.query, c.k))
        << c.docs << " " << c.query;
  }
}

TEST(Bm25Accumulate, ThreadsAndCollectionsOfOtherSizesShareNothing) {
  std::mt19937 rng(5);
  const InvertedIndex big = random_index(3000, rng);
  const InvertedIndex small = random_index(40, rng);
  // Alternating sizes on one thread reuse one array; stale slots from the big collection
  // must not leak into the small one's sums.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(big.bm25_search("w0 w1 w2", 20), reference(big, "w0 w1 w2", 20));
    EXPECT_EQ(small.bm25_search("w0 w1 w2", 20), reference(small, "w0 w1 w2", 20));
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const InvertedIndex& idx = t % 2 ? big : small;
      const Hits want = reference(idx, "w0 w4", 15);
      for (int i = 0; i < 50; ++i) mismatches[t] += idx.bm25_search("w0 w4", 15) != want;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(Bm25Accumulate, IdsBeyondTheLengthsJoinTheDenseScores) {
  InvertedIndex idx;
  idx.postings["cat"] = {{0, 1}, {9, 2}, {1, 1}, {40000, 1}};
  idx.postings["dog"] = {{9, 1}, {3, 3}, {40000, 2}};
  idx.doc_lengths = {2, 3, 0, 4};
  idx.doc_count = 5;
  idx.total_length = 9;
  for (size_t k : {1, 2, 3, 10}) {
    EXPECT_EQ(idx.bm25_search("cat dog", k), reference(idx, "cat dog", k)) << k;
  }
}

}  // namespace
}  // namespace tarnwell_core
