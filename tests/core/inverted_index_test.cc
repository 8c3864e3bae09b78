#include "core/bm25/inverted_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/bm25/tokenizer.h"

namespace tarnwell_core {
namespace {

using Hits = std::vector<std::pair<uint32_t, float>>;

// One BM25 term contribution in the fixed f32 order.
float contribution(float n_docs, float df, float avgdl, float dl, float tf) {
  const float idf = std::log((n_docs - df + 0.5f) / (df + 0.5f) + 1.0f);
  const float norm = (dl * 0.75f) / avgdl + 0.25f;
  return idf * ((tf * 2.2f) / (tf + 1.2f * norm));
}

InvertedIndex index_of(const std::vector<std::string>& texts) {
  InvertedIndex idx;
  for (size_t i = 0; i < texts.size(); ++i) idx.add_document(static_cast<uint32_t>(i), texts[i]);
  return idx;
}

TEST(InvertedIndex, CatAndDogScoresAreExact) {
  InvertedIndex idx = index_of({"cat sat", "dog sat"});
  EXPECT_EQ(idx.doc_count, 2u);
  EXPECT_EQ(idx.total_length, 4u);
  Hits hits = idx.bm25_search("cat", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].first, 0u);
  // N = 2, df = 1: idf = ln 2; dl = avgdl = 2: norm = 1; tf = 1: term = 2.2 / 2.2.
  EXPECT_EQ(hits[0].second, contribution(2, 1, 2, 2, 1));
  EXPECT_NEAR(hits[0].second, std::log(2.0), 1e-6);

  Hits twice = idx.bm25_search("cat cat", 10);
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_EQ(twice[0].second, 2 * hits[0].second);

  // A term in every document still scores, positively.
  Hits both = idx.bm25_search("sat", 10);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_GT(both[1].second, 0.0f);
  EXPECT_EQ(both[0].second, both[1].second);
  EXPECT_LT(both[0].first, both[1].first);  // equal scores list by ascending id
}

// An independent double-precision BM25 over a small corpus of varied lengths and repeats: the
// f32 scores must match it closely and rank the same way.
TEST(InvertedIndex, ScoresMatchADoublePrecisionReference) {
  const std::vector<std::string> texts = {"apple banana apple cherry",
                                          "banana banana banana",
                                          "cherry pie with apple crumble",
                                          "nothing relevant here",
                                          "apple",
                                          "Banana split, cherry on top, apple",
                                          "",
                                          "apple apple apple apple apple apple banana"};
  InvertedIndex idx = index_of(texts);
  const std::string query = "apple banana pie";

  std::vector<std::vector<std::string>> docs;
  double total = 0;
  for (const auto& t : texts) {
    Tokens tok = tokenize(t);
    std::vector<std::string> terms;
    for (size_t i = 0; i < tok.size(); ++i) terms.emplace_back(tok.token(i));
    total += static_cast<double>(terms.size());
    docs.push_back(terms);
  }
  const double n = static_cast<double>(docs.size()), avgdl = total / n;
  std::map<uint32_t, double> expected;
  for (const char* q : {"apple", "banana", "pie"}) {
    double df = 0;
    for (const auto& d : docs) df += std::count(d.begin(), d.end(), q) > 0;
    const double idf = std::log((n - df + 0.5) / (df + 0.5) + 1.0);
    for (uint32_t i = 0; i < docs.size(); ++i) {
      const double tf = static_cast<double>(std::count(docs[i].begin(), docs[i].end(), q));
      if (tf == 0) continue;
      const double dl = static_cast<double>(docs[i].size());
      expected[i] += idf * tf * 2.2 / (tf + 1.2 * (0.25 + 0.75 * dl / avgdl));
    }
  }
  Hits hits = idx.bm25_search(query, 100);
  ASSERT_EQ(hits.size(), expected.size());
  for (size_t i = 0; i < hits.size(); ++i) {
    EXPECT_NEAR(hits[i].second, expected.at(hits[i].first), 1e-5) << hits[i].first;
    if (i > 0) {
      EXPECT_GE(hits[i - 1].second, hits[i].second);
    }
  }
}

TEST(InvertedIndex, QueriesWithoutTermsFindNothing) {
  InvertedIndex idx = index_of({"the cat", "a dog"});
  for (const char* q : {"", "the and of", "a b c", "!!!", "unknownword"}) {
    EXPECT_TRUE(idx.bm25_search(q, 10).empty()) << q;
  }
  EXPECT_TRUE(InvertedIndex().bm25_search("cat", 10).empty());
  EXPECT_TRUE(idx.bm25_search("cat", 0).empty());
}

TEST(InvertedIndex, RemovalKeepsTheBookkeeping) {
  InvertedIndex idx = index_of({"red apple", "green apple apple", "", "unique words only"});
  EXPECT_EQ(idx.doc_count, 4u);
  EXPECT_EQ(idx.total_length, 2u + 3u + 0u + 3u);
  ASSERT_EQ(idx.postings.at("apple"), (std::vector<Posting>{{0, 1}, {1, 2}}));

  idx.remove_document(1);
  EXPECT_EQ(idx.doc_count, 3u);
  EXPECT_EQ(idx.total_length, 5u);
  EXPECT_EQ(idx.doc_lengths[1], 0u);
  EXPECT_EQ(idx.postings.at("apple"), (std::vector<Posting>{{0, 1}}));
  EXPECT_FALSE(idx.postings.contains("green"));  // only document 1 had it

  idx.remove_document(3);
  for (const char* t : {"unique", "words", "only"}) EXPECT_FALSE(idx.postings.contains(t)) << t;

  // Removing again and removing an id never seen change nothing; a token-less document leaves
  // the count like any other, so statistics do not drift with churn.
  const auto before = idx.postings;
  for (uint32_t id : {1u, 3u, 99u}) idx.remove_document(id);
  EXPECT_EQ(idx.doc_count, 2u);
  idx.remove_document(2);
  EXPECT_EQ(idx.doc_count, 1u);
  EXPECT_EQ(idx.total_length, 2u);
  EXPECT_EQ(idx.postings, before);
  EXPECT_EQ(idx.doc_lengths.size(), 4u);

  Hits hits = idx.bm25_search("apple green", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].first, 0u);
}

TEST(InvertedIndex, AddingExtendsLengthsAndNeverDuplicatesPostings) {
  InvertedIndex idx;
  idx.add_document(5, "sparse ids work");
  EXPECT_EQ(idx.doc_lengths, (std::vector<uint32_t>{0, 0, 0, 0, 0, 3}));
  // Indexing a still-indexed id again replaces its entry instead of counting it twice.
  idx.add_document(5, "sparse sparse");
  EXPECT_EQ(idx.doc_count, 1u);
  EXPECT_EQ(idx.total_length, 2u);
  EXPECT_EQ(idx.postings.at("sparse"), (std::vector<Posting>{{5, 2}}));
  EXPECT_FALSE(idx.postings.contains("ids"));
}

TEST(InvertedIndex, TopKDropsLowestScoreThenSmallestId) {
  // Six documents with one identical score, two with a higher one.
  InvertedIndex idx = index_of({"term filler", "term filler", "term filler", "term filler",
                                "term term", "term filler", "term term", "other words"});
  Hits top3 = idx.bm25_search("term", 3);
  ASSERT_EQ(top3.size(), 3u);
  EXPECT_EQ(top3[0].first, 4u);
  EXPECT_EQ(top3[1].first, 6u);
  EXPECT_EQ(top3[2].first, 5u);  // of the tied 0, 1, 2, 3, 5 the largest id survives
  Hits top4 = idx.bm25_search("term", 4);
  ASSERT_EQ(top4.size(), 4u);
  EXPECT_EQ(top4[2].first, 3u);  // survivors 3 and 5, listed by ascending id
  EXPECT_EQ(top4[3].first, 5u);

  // A k far beyond the corpus returns every scored document, sorted, at no extra cost.
  Hits all = idx.bm25_search("term", 1'000'000'000'000ULL);
  ASSERT_EQ(all.size(), 7u);
  for (size_t i = 1; i < all.size(); ++i) {
    EXPECT_TRUE(all[i - 1].second > all[i].second ||
                (all[i - 1].second == all[i].second && all[i - 1].first < all[i].first));
  }
}

// Top-k must be the k best of the full ranking whatever order documents are scored in: many
// documents, few distinct scores (so ties straddle every cut), every k.
TEST(InvertedIndex, TopKIsAPrefixOfTheFullRankingForEveryK) {
  InvertedIndex idx;
  std::mt19937 rng(7);
  for (uint32_t id = 0; id < 300; ++id) {
    std::string text;
    for (uint32_t i = 0, n = 1 + rng() % 3; i < n; ++i) text += "alpha ";
    for (uint32_t i = 0, n = rng() % 3; i < n; ++i) text += "beta ";
    idx.add_document(id, text);
  }
  Hits full = idx.bm25_search("alpha beta", 300);
  ASSERT_EQ(full.size(), 300u);
  for (size_t i = 1; i < full.size(); ++i) {
    ASSERT_TRUE(full[i - 1].second > full[i].second ||
                (full[i - 1].second == full[i].second && full[i - 1].first < full[i].first));
  }
  for (size_t k = 0; k <= 301; ++k) {
    Hits top = idx.bm25_search("alpha beta", k);
    ASSERT_EQ(top.size(), std::min<size_t>(k, 300));
    if (top.empty()) continue;
    // Above the cut score the same documents; at it, the largest ids survive.
    const float cut = top.back().second;
    std::vector<uint32_t> expected_at_cut, got_at_cut;
    for (const auto& [id, score] : full) {
      if (score > cut) {
        EXPECT_NE(std::find(top.begin(), top.end(), std::pair{id, score}), top.end()) << k;
      }
      if (score == cut) expected_at_cut.push_back(id);
    }
    for (const auto& [id, score] : top) {
      if (score == cut) got_at_cut.push_back(id);
    }
    expected_at_cut.erase(expected_at_cut.begin(),
                          expected_at_cut.end() - static_cast<ptrdiff_t>(got_at_cut.size()));
    EXPECT_EQ(got_at_cut, expected_at_cut) << k;
  }
}

// A loaded index is not guaranteed consistent; scoring must stay defined on it.
TEST(InvertedIndex, InconsistentLoadedIndexesStillSearchSafely) {
  InvertedIndex beyond;  // a posting for an id past doc_lengths reads as an empty document
  beyond.postings["cat"] = {{7, 1}, {0, 1}};
  beyond.doc_lengths = {2};
  beyond.doc_count = 2;
  beyond.total_length = 2;
  Hits hits = beyond.bm25_search("cat", 10);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].first, 7u);
  EXPECT_EQ(hits[0].second, contribution(2, 2, 1, 0, 1));

  InvertedIndex unsized;  // far more scored ids than doc_lengths suggests
  unsized.postings["cat"] = {};
  for (uint32_t id = 0; id < 1000; ++id) unsized.postings["cat"].push_back({id * 7919, 1});
  unsized.doc_count = 2000;
  unsized.total_length = 2000;
  Hits many = unsized.bm25_search("cat", 5000);
  ASSERT_EQ(many.size(), 1000u);
  for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ(many[i].first, i * 7919) << i;

  InvertedIndex zero_length;  // average length 0: the score is NaN and has no rank
  zero_length.postings["cat"] = {{0, 1}};
  zero_length.doc_lengths = {0};
  zero_length.doc_count = 1;
  EXPECT_TRUE(zero_length.bm25_search("cat", 10).empty());

  InvertedIndex crowded;  // more postings than documents: negative idf, still ordered
  crowded.postings["cat"] = {{0, 1}, {1, 2}, {2, 1}};
  crowded.doc_lengths = {1, 2, 1};
  crowded.doc_count = 1;
  crowded.total_length = 4;
  Hits neg = crowded.bm25_search("cat", 2);
  ASSERT_EQ(neg.size(), 2u);
  EXPECT_LT(neg[0].second, 0.0f);
  EXPECT_GE(neg[0].second, neg[1].second);
}

// A file may carry the length and postings of an id that has no live document; recounting drops
// them, so what is saved again passes validation (total_length covers every length kept).
TEST(InvertedIndex, RecountDropsWhatRemovedIdsLeftBehind) {
  InvertedIndex idx;
  idx.postings["cat"] = {{0, 1}, {1, 2}};
  idx.postings["dog"] = {{1, 1}};
  idx.doc_lengths = {1, 3, 0};
  idx.doc_count = 9;
  idx.total_length = 1;
  idx.recount({true, false, true});
  EXPECT_EQ(idx.doc_lengths, (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(idx.postings.at("cat"), (std::vector<Posting>{{0, 1}}));
  EXPECT_FALSE(idx.postings.contains("dog"));
  EXPECT_EQ(idx.doc_count, 2u);
  EXPECT_EQ(idx.total_length, 1u);
  EXPECT_TRUE(idx.is_indexed(2));
  EXPECT_FALSE(idx.is_indexed(1));
}

// An index split in parts (documents dealt round-robin, so each part numbers its own ids) scores
// every document to the same bits as the whole when each part is given the summed figures; and
// figures that miss a query term or overcount it are refused.
TEST(InvertedIndex, SplitIndexWithSummedStatisticsScoresAsTheWhole) {
  std::mt19937 rng(17);
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) {
    std::string t;
    for (int w = 0, n = 1 + static_cast<int>(rng() % 12); w < n; ++w) {
      t += 'w';  // appended piecewise: g++ 12 warns falsely on "w" + std::to_string(...)
      t += std::to_string(rng() % 40);
      t += ' ';
    }
    texts.push_back(t);
  }
  const InvertedIndex whole = index_of(texts);
  InvertedIndex parts[3];
  std::map<std::pair<int, uint32_t>, uint32_t> to_whole;
  for (size_t i = 0; i < texts.size(); ++i) {
    const int p = static_cast<int>(i % 3);
    const uint32_t local = static_cast<uint32_t>(i / 3);
    parts[p].add_document(local, texts[i]);
    to_whole[{p, local}] = static_cast<uint32_t>(i);
  }
  for (const char* query : {"w1", "w3 w7 w7", "w0 w5 w9 w12 w39", "w99 w2"}) {
    Bm25Statistics sum;
    for (const InvertedIndex& part : parts) {
      const Bm25Statistics s = part.statistics(query);
      sum.doc_count += s.doc_count;
      sum.total_length += s.total_length;
      for (const auto& [term, df] : s.doc_freqs) sum.doc_freqs[term] += df;
    }
    ASSERT_TRUE(check_bm25_statistics(sum, query).ok());
    std::map<uint32_t, float> merged;
    for (int p = 0; p < 3; ++p) {
      for (const auto& [id, score] : parts[p].bm25_search(query, 1000, &sum)) {
        merged[to_whole[{p, id}]] = score;
      }
    }
    std::map<uint32_t, float> expected;
    for (const auto& [id, score] : whole.bm25_search(query, 1000)) expected[id] = score;
    EXPECT_EQ(merged, expected) << query;
  }
  Bm25Statistics missing = whole.statistics("w1");
  EXPECT_FALSE(check_bm25_statistics(missing, "w1 w2").ok());
  missing.doc_freqs["w1"] = missing.doc_count + 1;
  EXPECT_FALSE(check_bm25_statistics(missing, "w1").ok());
}

}  // namespace
}  // namespace tarnwell_core
