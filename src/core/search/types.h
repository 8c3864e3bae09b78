// The ranked hit of every collection search, and the choice between the two hybrid fusions.
#pragma once

#include <cstdint>
#include <memory>

#include "core/document.h"

namespace tarnwell_core {

struct ScoredDocument {
  // A copy taken under the collection's lock: it stays as it was whatever happens next.
  std::shared_ptr<const Document> document;
  float score;  // larger is better
};

enum class FusionMethod : uint8_t { Rrf, Linear };

}  // namespace tarnwell_core
