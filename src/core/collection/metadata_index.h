// The metadata index of a collection: for every field, value -> ascending internal ids (strings
// and booleans by value, numbers ordered by their value as a double, so ranges are walks over
// keys), so that a filter evaluates to the exact set of matching live documents without
// reading one document. Derived from the documents, never persisted: built at load, kept in
// step by insert, delete and rebuild. It computes exactly what passes_metadata computes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/document.h"
#include "core/filter_types.h"
#include "core/util/id_bitset.h"

namespace tarnwell_core {

class MetadataIndex {
 public:
  // Indexes the metadata of document `id`, which is not indexed yet. Ids normally come in
  // increasing order (appended); any order is accepted. Strong guarantee: when it throws
  // (out of memory), the index is as it was.
  void add(uint32_t id, const Metadata& metadata);
  // Takes back add(id, metadata) entirely, so that `id` may be issued again. Never throws.
  void undo_add(uint32_t id, const Metadata& metadata) noexcept;
  // Document `id`, indexed under `old_metadata`, now has `new_metadata`. Strong guarantee: when
  // it throws (out of memory), the index is as it was.
  void replace(uint32_t id, const Metadata& old_metadata, const Metadata& new_metadata);
  // The document left the collection. Never throws or allocates: its ids stay in the value
  // lists, ignored, until enough removals have piled up to purge them all at once.
  void remove(uint32_t id) noexcept;

  // add() now, undo_add() at destruction unless committed: for an insert whose later steps may
  // still fail, so that the index never holds a document the collection does not.
  class Addition {
   public:
    Addition(MetadataIndex& index, uint32_t id, const Metadata& metadata)
        : index_(index), id_(id), metadata_(metadata) {
      index.add(id, metadata);
    }
    ~Addition() {
      if (!committed_) index_.undo_add(id_, metadata_);
    }
    Addition(const Addition&) = delete;
    Addition& operator=(const Addition&) = delete;
    void commit() { committed_ = true; }

   private:
    MetadataIndex& index_;
    uint32_t id_;
    const Metadata& metadata_;
    bool committed_ = false;
  };

  // The live documents whose metadata passes `filter`, as a set over at least the ids below
  // `id_bound` (and every id ever indexed).
  IdBitset evaluate(const MetadataFilter& filter, size_t id_bound) const;

  size_t live_count() const { return live_count_; }
  // Changes whenever what evaluate() answers may change; never repeats, in any index.
  uint64_t version() const { return version_; }
  // Bytes held: value keys, id lists and the per-value and per-field bookkeeping.
  uint64_t memory_bytes() const;

 private:
  using Ids = std::vector<uint32_t>;  // ascending; may hold removed ids until the next purge
  struct Field {
    std::map<double, Ids> numbers;  // Int and Float under their value as a double; no NaN
    Ids nans;                       // Float NaN: present, but equal to and ordered with nothing
    std::unordered_map<std::string, Ids> strings;
    std::array<Ids, 2> bools;
    bool empty() const;
  };

  // The list a value belongs to, created when missing (may throw).
  static Ids& list_for(Field& field, const MetadataValue& value);
  // Removes `id` from the list of (key, value) and drops lists and fields left empty.
  void take_back(const std::string& key, const MetadataValue& value, uint32_t id) noexcept;
  // Drops every removed id from every list, and the lists and fields left empty.
  void purge() noexcept;

  // Sets in `out` the documents for which the condition holds (removed ones included).
  void add_condition(const FilterCondition& c, IdBitset& out) const;

  std::unordered_map<std::string, Field> fields_;
  IdBitset live_;
  size_t live_count_ = 0;
  size_t removed_since_purge_ = 0;
  uint64_t version_ = next_version();
  static uint64_t next_version() noexcept;
};

}  // namespace tarnwell_core
