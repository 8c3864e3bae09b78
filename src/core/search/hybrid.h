// Fusion of a vector ranking and a keyword ranking into one list of at most k internal ids:
// reciprocal-rank fusion (positions only) and linear fusion (min-max normalised scores mixed by
// alpha). Scores are computed in f32 in one fixed order, so they are reproducible to the bit.
// Results are ordered by fused score, then by internal id, both descending; NaN ranks last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/util/status.h"

namespace tarnwell_core {

// (internal id, score), best first.
using RankedList = std::vector<std::pair<uint32_t, float>>;

// Reciprocal-rank constant: position n (from 0) contributes 1 / (n + RRF_K + 1).
inline constexpr float RRF_K = 60.0f;
// A list whose scores span less than this (the f32 machine epsilon) normalises to 1.0.
inline constexpr float LINEAR_NORM_EPSILON = 1.1920929e-07f;

// Each id scores the sum of its terms from both lists; input scores are not looked at.
RankedList rrf_fusion(const RankedList& vector_hits, const RankedList& keyword_hits, size_t k);

// alpha is a weight: kInvalidArgument "alpha must be between 0 and 1" for NaN or values outside
// [0, 1], which would make every fused score NaN or invert the ranking.
Status check_alpha(float alpha);

// Each id scores alpha * its normalised vector score + (1 - alpha) * its normalised keyword
// score; alpha is used as given (no clamping).
RankedList linear_fusion(const RankedList& vector_hits, const RankedList& keyword_hits, size_t k,
                         float alpha);

}  // namespace tarnwell_core
