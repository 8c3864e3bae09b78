// Tarnwell methods that create, list, describe and drop collections.
#include <limits>
#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/handle.h"
#include "python/ref.h"
#include "python/results.h"

namespace tarnwell_py {
namespace {

using tarnwell_core::DistanceMetric;
using tarnwell_core::HnswConfig;

bool parse_metric(std::optional<std::string_view> name, DistanceMetric* out) {
  if (!name || *name == "cosine") {
    *out = DistanceMetric::Cosine;
  } else if (*name == "euclidean") {
    *out = DistanceMetric::Euclidean;
  } else if (*name == "dot_product") {
    *out = DistanceMetric::DotProduct;
  } else {
    PyErr_Format(PyExc_ValueError,
                 "unknown distance metric: '%s' (use 'cosine', 'euclidean', or 'dot_product')",
                 std::string(*name).c_str());
    return false;
  }
  return true;
}

PyObject* str_list(const std::vector<std::string>& names) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* s =
        PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

}  // namespace

TW_METHOD(method_create_collection) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"create_collection",
                               {"name", "dimension", "m", "ef_construction", "ef_search",
                                "distance_metric", "store_raw_vectors"},
                               2};
    PyObject* a[7];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view name;
    uint64_t dimension;
    std::optional<uint64_t> m, ef_construction, ef_search;
    std::optional<std::string_view> metric_name;
    std::optional<bool> store_raw;
    if (!to_str(a[0], {sig.fname, "name"}, &name) ||
        !to_u64(a[1], {sig.fname, "dimension"}, &dimension) ||
        !to_opt_u64(a[2], {sig.fname, "m"}, &m) ||
        !to_opt_u64(a[3], {sig.fname, "ef_construction"}, &ef_construction) ||
        !to_opt_u64(a[4], {sig.fname, "ef_search"}, &ef_search) ||
        !to_opt_str(a[5], {sig.fname, "distance_metric"}, &metric_name) ||
        !to_opt_bool(a[6], {sig.fname, "store_raw_vectors"}, &store_raw)) {
      return nullptr;
    }
    HnswConfig config;
    if (!parse_metric(metric_name, &config.distance_metric)) return nullptr;
    config.m = m.value_or(16);
    // Saturates rather than wraps; the handle refuses such an m anyway.
    config.m_max0 = config.m > std::numeric_limits<uint64_t>::max() / 2
                        ? std::numeric_limits<uint64_t>::max()
                        : 2 * config.m;
    config.ef_construction = ef_construction.value_or(200);
    config.ef_search = ef_search.value_or(50);
    config.max_layers = 16;
    config.pq_subspaces = 0;
    config.store_raw_vectors = store_raw.value_or(false);
    auto status =
        without_gil([&] { return handle_of(self).create_collection(name, dimension, config); });
    if (!status.ok()) return raise_status(status);
    Py_RETURN_NONE;
  });
}

TW_METHOD(method_delete_collection) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"delete_collection", {"name"}, 1};
    PyObject* a[1];
    std::string_view name;
    if (!parse_args(sig, args, nargs, kwnames, a) || !to_str(a[0], {sig.fname, "name"}, &name)) {
      return nullptr;
    }
    auto existed = without_gil([&] { return handle_of(self).delete_collection(name); });
    if (!existed) return raise_status(existed.error());
    return PyBool_FromLong(*existed);
  });
}

TW_METHOD(method_list_collections) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"list_collections", {}, 0};
    if (!parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    auto names = without_gil([&] { return handle_of(self).list_collections(); });
    return str_list(names);
  });
}

TW_METHOD(method_collection_info) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"collection_info", {"name"}, 1};
    PyObject* a[1];
    std::string_view name;
    if (!parse_args(sig, args, nargs, kwnames, a) || !to_str(a[0], {sig.fname, "name"}, &name)) {
      return nullptr;
    }
    auto collection = lookup_collection(self, name);
    if (!collection) return nullptr;
    struct Info {
      std::string name;
      uint64_t dimension, documents, memory;
    };
    Info info = without_gil([&] {
      Info i = collection->read([](const tarnwell_core::CollectionData& d) {
        return Info{d.name, d.dimension, d.documents.size(), 0};
      });
      // The collection's own estimate, so that derived structures (the metadata index) count.
      i.memory = collection->estimate_memory_bytes();
      return i;
    });
    return new_collection_info(std::move(info.name), info.dimension, info.documents, info.memory);
  });
}

TW_METHOD(method_total_memory_bytes) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"total_memory_bytes", {}, 0};
    if (!parse_args(sig, args, nargs, kwnames, nullptr)) return nullptr;
    uint64_t total = without_gil([&] { return handle_of(self).total_memory_bytes(); });
    return PyLong_FromUnsignedLongLong(total);
  });
}

}  // namespace tarnwell_py
