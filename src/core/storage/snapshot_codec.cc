// Snapshot body encoding and decoding. The size function walks the same structures as the
// encoder, so that a save allocates its one buffer exactly; the decoder bounds every count by the
// bytes left before building anything from it.
#include "core/storage/snapshot_codec.h"

#include <algorithm>
#include <utility>

namespace tarnwell_core {
namespace {

// Smallest encodings of repeated elements, for bounding counts before reserving.
constexpr size_t MIN_DOCUMENT_ENTRY_SIZE = ENCODED_UUID_SIZE + ENCODED_UUID_SIZE + 8 + 8;
constexpr size_t MIN_TERM_SIZE = 8 + 8;  // empty term, empty posting list
constexpr size_t POSTING_SIZE = 4 + 4;
constexpr size_t UUID_MAP_ENTRY_SIZE = ENCODED_UUID_SIZE + 4;
// A document entry is larger than an id map entry; keep the advance reservation of the document
// tables near the same 1 MiB.
constexpr size_t DOCUMENT_RESERVE_CAP = 21845;
constexpr size_t TERM_RESERVE_CAP = 21845;

size_t adjacency_size(const HnswIndex& h) {
  size_t n = ENCODED_COUNT_SIZE;
  for (uint32_t i = 0; i < h.node_count(); ++i) {
    const size_t lists = h.layer_list_count(i);
    n += ENCODED_COUNT_SIZE;
    for (size_t l = 0; l < lists; ++l) n += encoded_array_size<uint32_t>(h.neighbors(i, l).size());
  }
  return n;
}

size_t hnsw_size(const HnswIndex& h) {
  size_t n = ENCODED_HNSW_CONFIG_SIZE;
  n += encoded_array_size<uint8_t>(h.vector_data().size());
  n += 2 * encoded_array_size<float>(h.node_count());  // vector_min, vector_scale
  n += encoded_array_size<float>(h.raw_vectors().size());
  n += adjacency_size(h);
  n += encoded_array_size<uint8_t>(h.layers().size());
  n += encoded_array_size<uint8_t>(h.deleted().size());
  n += 1;
  if (h.pq_codebook()) {
    n += 8 + 8 + 8 + encoded_array_size<float>(h.pq_codebook()->centroids.size());
  }
  n += encoded_array_size<uint8_t>(h.pq_codes().size());
  n += 1 + (h.entry_point() ? 4 : 0);
  n += 8 + 8 + 4;  // max_level, dimension, node_count
  return n;
}

size_t bm25_size(const InvertedIndex& b) {
  size_t n = ENCODED_COUNT_SIZE;
  for (const auto& [term, list] : b.postings) {
    n += encoded_string_size(term) + ENCODED_COUNT_SIZE + list.size() * POSTING_SIZE;
  }
  n += encoded_array_size<uint32_t>(b.doc_lengths.size());
  n += 4 + 8;  // doc_count, total_length
  return n;
}

void encode_hnsw(const HnswIndex& h, Encoder& enc) {
  encode_hnsw_config(h.config(), enc);
  enc.put_byte_array(h.vector_data());
  enc.put_count(h.node_count());
  for (uint32_t i = 0; i < h.node_count(); ++i) enc.put_f32(h.vector_min(i));
  enc.put_count(h.node_count());
  for (uint32_t i = 0; i < h.node_count(); ++i) enc.put_f32(h.vector_scale(i));
  enc.put_f32_array(h.raw_vectors());
  enc.put_count(h.node_count());
  for (uint32_t i = 0; i < h.node_count(); ++i) {
    const size_t lists = h.layer_list_count(i);
    enc.put_count(lists);
    for (size_t l = 0; l < lists; ++l) enc.put_u32_array(h.neighbors(i, l));
  }
  enc.put_byte_array(h.layers());
  enc.put_byte_array(h.deleted());
  enc.put_option_tag(h.pq_codebook().has_value());
  if (h.pq_codebook()) {
    enc.put_u64(h.pq_codebook()->num_subspaces);
    enc.put_u64(h.pq_codebook()->num_centroids);
    enc.put_u64(h.pq_codebook()->subspace_dim);
    enc.put_f32_array(h.pq_codebook()->centroids);
  }
  enc.put_byte_array(h.pq_codes());
  enc.put_option_tag(h.entry_point().has_value());
  if (h.entry_point()) enc.put_u32(*h.entry_point());
  enc.put_u64(h.max_level());
  enc.put_u64(h.dimension());
  enc.put_u32(h.node_count());
}

void encode_bm25(const InvertedIndex& b, Encoder& enc) {
  enc.put_count(b.postings.size());
  std::vector<const std::pair<const std::string, std::vector<Posting>>*> terms;
  terms.reserve(b.postings.size());
  for (const auto& entry : b.postings) terms.push_back(&entry);
  std::sort(terms.begin(), terms.end(), [](auto* x, auto* y) { return x->first < y->first; });
  for (const auto* entry : terms) {
    const auto& [term, list] = *entry;
    enc.put_string(term);
    enc.put_count(list.size());
    for (const Posting& p : list) {
      enc.put_u32(p.doc_id);
      enc.put_u32(p.term_freq);
    }
  }
  enc.put_u32_array(b.doc_lengths);
  enc.put_u32(b.doc_count);
  enc.put_u64(b.total_length);
}

// Straight into the compact form of the store: no object per document is built or freed.
Status decode_documents(Decoder& dec, StoredDocuments& out) {
  ASSIGN_OR_RETURN(uint64_t n, dec.count(MIN_DOCUMENT_ENTRY_SIZE));
  const size_t hint = Decoder::reserve_hint(n, DOCUMENT_RESERVE_CAP);
  out.keys.reserve(hint);
  out.ids.reserve(hint);
  CompactMetadataReader reader;
  std::string metadata;
  for (uint64_t i = 0; i < n; ++i) {
    ASSIGN_OR_RETURN(Uuid key, dec.uuid());
    ASSIGN_OR_RETURN(Uuid id, dec.uuid());
    ASSIGN_OR_RETURN(std::string_view text, dec.string_view());
    RETURN_IF_ERROR(reader.read(dec, metadata));
    out.records.reserve(static_cast<size_t>(i) + 1, DocumentStore::record_size(text, metadata));
    out.records.put(static_cast<uint32_t>(i), text, metadata);
    out.keys.push_back(key);
    out.ids.push_back(id);
  }
  return Status();
}

Status decode_adjacency(Decoder& dec, std::vector<std::vector<std::vector<uint32_t>>>& out) {
  ASSIGN_OR_RETURN(uint64_t nodes, dec.count(ENCODED_COUNT_SIZE));
  out.resize(static_cast<size_t>(nodes));
  for (auto& node : out) {
    ASSIGN_OR_RETURN(uint64_t lists, dec.count(ENCODED_COUNT_SIZE));
    node.resize(static_cast<size_t>(lists));
    for (auto& list : node) {
      ASSIGN_OR_RETURN(list, dec.u32_array());
    }
  }
  return Status();
}

Status decode_hnsw(Decoder& dec, HnswIndexFields& h) {
  ASSIGN_OR_RETURN(h.config, decode_hnsw_config(dec));
  ASSIGN_OR_RETURN(h.vector_data, dec.byte_array());
  ASSIGN_OR_RETURN(h.vector_min, dec.f32_array());
  ASSIGN_OR_RETURN(h.vector_scale, dec.f32_array());
  ASSIGN_OR_RETURN(h.raw_vectors, dec.f32_array());
  RETURN_IF_ERROR(decode_adjacency(dec, h.neighbors));
  ASSIGN_OR_RETURN(h.layers, dec.byte_array());
  ASSIGN_OR_RETURN(h.deleted, dec.bool_array());
  ASSIGN_OR_RETURN(bool has_codebook, dec.option_tag());
  if (has_codebook) {
    PqCodebook cb;
    ASSIGN_OR_RETURN(cb.num_subspaces, dec.u64());
    ASSIGN_OR_RETURN(cb.num_centroids, dec.u64());
    ASSIGN_OR_RETURN(cb.subspace_dim, dec.u64());
    ASSIGN_OR_RETURN(cb.centroids, dec.f32_array());
    h.pq_codebook = std::move(cb);
  }
  ASSIGN_OR_RETURN(h.pq_codes, dec.byte_array());
  ASSIGN_OR_RETURN(bool has_entry, dec.option_tag());
  if (has_entry) {
    ASSIGN_OR_RETURN(uint32_t entry, dec.u32());
    h.entry_point = entry;
  }
  ASSIGN_OR_RETURN(h.max_level, dec.u64());
  ASSIGN_OR_RETURN(h.dimension, dec.u64());
  ASSIGN_OR_RETURN(h.node_count, dec.u32());
  return Status();
}

Status decode_bm25(Decoder& dec, InvertedIndex& b) {
  ASSIGN_OR_RETURN(uint64_t terms, dec.count(MIN_TERM_SIZE));
  b.postings.reserve(Decoder::reserve_hint(terms, TERM_RESERVE_CAP));
  for (uint64_t t = 0; t < terms; ++t) {
    ASSIGN_OR_RETURN(std::string term, dec.string());
    ASSIGN_OR_RETURN(uint64_t n, dec.count(POSTING_SIZE));
    std::vector<Posting> list(static_cast<size_t>(n));
    for (Posting& p : list) {
      ASSIGN_OR_RETURN(p.doc_id, dec.u32());
      ASSIGN_OR_RETURN(p.term_freq, dec.u32());
    }
    b.postings.insert_or_assign(std::move(term), std::move(list));
  }
  ASSIGN_OR_RETURN(b.doc_lengths, dec.u32_array());
  ASSIGN_OR_RETURN(b.doc_count, dec.u32());
  ASSIGN_OR_RETURN(b.total_length, dec.u64());
  return Status();
}

Status decode_id_tables(Decoder& dec, CollectionFields& f) {
  ASSIGN_OR_RETURN(uint64_t n, dec.count(UUID_MAP_ENTRY_SIZE));
  f.uuid_to_internal.reserve(Decoder::reserve_hint(n, UUID_MAP_RESERVE_CAP));
  for (uint64_t i = 0; i < n; ++i) {
    ASSIGN_OR_RETURN(Uuid id, dec.uuid());
    ASSIGN_OR_RETURN(uint32_t internal, dec.u32());
    f.uuid_to_internal.insert_or_assign(id, internal);
  }
  ASSIGN_OR_RETURN(uint64_t m, dec.count(ENCODED_UUID_SIZE));
  f.internal_to_uuid.reserve(static_cast<size_t>(m));
  for (uint64_t i = 0; i < m; ++i) {
    ASSIGN_OR_RETURN(Uuid id, dec.uuid());
    f.internal_to_uuid.push_back(id);
  }
  return Status();
}

}  // namespace

void encode_hnsw_config(const HnswConfig& c, Encoder& enc) {
  enc.put_u64(c.m);
  enc.put_u64(c.m_max0);
  enc.put_u64(c.ef_construction);
  enc.put_u64(c.ef_search);
  enc.put_u64(c.max_layers);
  enc.put_enum(static_cast<uint32_t>(c.distance_metric));
  enc.put_u64(c.pq_subspaces);
  enc.put_bool(c.store_raw_vectors);
}

Result<HnswConfig> decode_hnsw_config(Decoder& dec) {
  HnswConfig c;
  ASSIGN_OR_RETURN(c.m, dec.u64());
  ASSIGN_OR_RETURN(c.m_max0, dec.u64());
  ASSIGN_OR_RETURN(c.ef_construction, dec.u64());
  ASSIGN_OR_RETURN(c.ef_search, dec.u64());
  ASSIGN_OR_RETURN(c.max_layers, dec.u64());
  ASSIGN_OR_RETURN(uint32_t metric, dec.enum_index(3));
  c.distance_metric = static_cast<DistanceMetric>(metric);
  ASSIGN_OR_RETURN(c.pq_subspaces, dec.u64());
  ASSIGN_OR_RETURN(c.store_raw_vectors, dec.boolean());
  return c;
}

size_t encoded_body_size(const CollectionData& d) {
  size_t n = encoded_string_size(d.name) + 8;
  n += ENCODED_COUNT_SIZE;
  const DocumentStore& store = d.documents;
  for (uint32_t p = 0; p < store.slot_count(); ++p) {
    if (!store.live(p)) continue;
    n += ENCODED_UUID_SIZE + ENCODED_UUID_SIZE + encoded_string_size(store.text(p)) +
         transcode_compact_metadata(store.metadata_bytes(p), nullptr);
  }
  n += hnsw_size(d.hnsw);
  n += bm25_size(d.bm25);
  n += ENCODED_COUNT_SIZE + d.ids.size() * UUID_MAP_ENTRY_SIZE;
  n += ENCODED_COUNT_SIZE + d.ids.size() * ENCODED_UUID_SIZE;
  return n;
}

// Every part is written in an order fixed by the state itself (internal ids, terms sorted), so
// the same collection always writes the same bytes.
void encode_collection_body(const CollectionData& d, Encoder& enc) {
  enc.put_string(d.name);
  enc.put_u64(d.dimension);
  const DocumentStore& store = d.documents;
  enc.put_count(store.size());
  for (uint32_t p = 0; p < store.slot_count(); ++p) {
    if (!store.live(p)) continue;
    enc.put_uuid(d.ids[p]);  // the key, then the document with its id
    enc.put_uuid(d.ids[p]);
    enc.put_string(store.text(p));
    transcode_compact_metadata(store.metadata_bytes(p), &enc);
  }
  encode_hnsw(d.hnsw, enc);
  encode_bm25(d.bm25, enc);
  enc.put_count(d.ids.size());
  for (uint32_t p = 0; p < d.ids.size(); ++p) {
    enc.put_uuid(d.ids[p]);
    enc.put_u32(p);
  }
  enc.put_count(d.ids.size());
  for (const Uuid& id : d.ids.uuids()) enc.put_uuid(id);
}

Result<CollectionFields> decode_collection_body(std::span<const uint8_t> body) {
  Decoder dec(body);
  CollectionFields f;
  ASSIGN_OR_RETURN(f.name, dec.string());
  ASSIGN_OR_RETURN(f.dimension, dec.u64());
  RETURN_IF_ERROR(decode_documents(dec, f.documents));
  RETURN_IF_ERROR(decode_hnsw(dec, f.hnsw));
  RETURN_IF_ERROR(decode_bm25(dec, f.bm25));
  RETURN_IF_ERROR(decode_id_tables(dec, f));
  return f;
}

}  // namespace tarnwell_core
