// The two result classes: SearchResult (one hit of Tarnwell.search) and CollectionInfo. Neither
// can be constructed from Python; both are read-only. A SearchResult keeps a reference to the
// immutable document it came from, so it never changes after it is returned, whatever happens to
// the collection, and converts text and metadata only when they are read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/document.h"

namespace tarnwell_py {

extern PyTypeObject SearchResultType;
extern PyTypeObject CollectionInfoType;

bool init_result_types();

PyObject* new_search_result(std::shared_ptr<const tarnwell_core::Document> document, float score);
PyObject* new_collection_info(std::string name, uint64_t dimension, uint64_t document_count,
                              uint64_t estimated_memory_bytes);

// A document as the dict get() returns: "id", "text", "metadata", and "embedding" (a list of
// floats) when `embedding` is given.
PyObject* document_dict(const tarnwell_core::Document& document,
                        const std::vector<float>* embedding);
// Ids as a list of str.
PyObject* uuid_list(const std::vector<tarnwell_core::Uuid>& ids);

// The first bytes of `text` shown by SearchResult's repr: the whole text when it has at most
// `limit` bytes, else the longest prefix of at most `limit` bytes that ends on a character
// boundary, followed by "...".
std::string preview_text(const std::string& text, size_t limit);

}  // namespace tarnwell_py
