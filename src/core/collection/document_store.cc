#include "core/collection/document_store.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>

namespace tarnwell_core {
namespace {

size_t put_varint(char* out, uint64_t v) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<char>(static_cast<uint8_t>(v) | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<char>(v);
  return n;
}

void put_varint(std::string& out, uint64_t v) {
  char buffer[10];
  out.append(buffer, put_varint(buffer, v));
}

// Reads from bytes the store wrote itself.
uint64_t get_varint(std::string_view bytes, size_t& at) {
  uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<uint8_t>(bytes[at++]);
    v |= uint64_t{b & 0x7Fu} << shift;
    if (b < 0x80) return v;
  }
}

std::string_view get_bytes(std::string_view bytes, size_t& at) {
  const auto n = static_cast<size_t>(get_varint(bytes, at));
  std::string_view s = bytes.substr(at, n);
  at += n;
  return s;
}

uint64_t zigzag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int64_t unzigzag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

// A 64-bit mix of the UUID's two halves (ids may be sequential, so the bits are spread).
uint64_t mix(const Uuid& id) {
  uint64_t lo, hi;
  std::memcpy(&lo, id.bytes.data(), 8);
  std::memcpy(&hi, id.bytes.data() + 8, 8);
  uint64_t z = lo ^ (hi * 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Slots for n ids at most 4/5 full, with room to grow by a quarter before the next rehash.
size_t capacity_for(size_t n) { return std::max<size_t>(16, n + n / 4 + n / 2); }

}  // namespace

// ---- IdTable ----

IdTable::IdTable(std::vector<Uuid> uuids) : uuids_(std::move(uuids)) {
  rehash(capacity_for(uuids_.size()));
}

size_t IdTable::home(const Uuid& id) const {
  // Multiply-shift onto [0, capacity): no power-of-two rounding of the slot count.
  return static_cast<size_t>((static_cast<unsigned __int128>(mix(id)) * slots_.size()) >> 64);
}

std::optional<uint32_t> IdTable::find(const Uuid& id) const {
  if (slots_.empty()) return std::nullopt;
  for (size_t s = home(id);; s = s + 1 == slots_.size() ? 0 : s + 1) {
    const uint32_t v = slots_[s];
    if (v == 0) return std::nullopt;
    if (uuids_[v - 1] == id) return v - 1;
  }
}

void IdTable::reserve(size_t more) {
  const size_t want = uuids_.size() + more;
  uuids_.reserve(want);
  if (want * 5 > slots_.size() * 4) rehash(capacity_for(want));
}

void IdTable::rehash(size_t capacity) {
  std::vector<uint32_t> fresh(capacity, 0);
  slots_.swap(fresh);
  for (uint32_t p = 0; p < uuids_.size(); ++p) place(p);
}

void IdTable::place(uint32_t p) noexcept {
  size_t s = home(uuids_[p]);
  while (slots_[s] != 0) s = s + 1 == slots_.size() ? 0 : s + 1;
  slots_[s] = p + 1;
}

void IdTable::unplace(const Uuid& id) noexcept {
  size_t s = home(id);
  while (uuids_[slots_[s] - 1] != id) s = s + 1 == slots_.size() ? 0 : s + 1;
  // Backward-shift deletion: later entries of the probe run move up so no lookup stops early.
  size_t hole = s;
  for (size_t t = hole + 1 == slots_.size() ? 0 : hole + 1; slots_[t] != 0;
       t = t + 1 == slots_.size() ? 0 : t + 1) {
    const size_t h = home(uuids_[slots_[t] - 1]);
    // The entry at t may fill the hole unless its home lies cyclically in (hole, t].
    const bool stays = hole <= t ? (hole < h && h <= t) : (hole < h || h <= t);
    if (stays) continue;
    slots_[hole] = slots_[t];
    hole = t;
  }
  slots_[hole] = 0;
}

uint32_t IdTable::push_back(const Uuid& id) noexcept {
  const auto p = static_cast<uint32_t>(uuids_.size());
  uuids_.push_back(id);  // within reserved capacity
  place(p);
  return p;
}

void IdTable::rekey(uint32_t p, const Uuid& id) noexcept {
  unplace(uuids_[p]);
  uuids_[p] = id;
  place(p);
}

// ---- compact metadata ----

namespace {

using Entry = CompactMetadataReader::Entry;

Entry entry_of(std::string_view key, const MetadataValue& v) {
  Entry e{key, static_cast<uint32_t>(v.index()), 0, {}, 0};
  switch (v.index()) {
    case 0:
      e.bits = std::get<bool>(v) ? 1 : 0;
      break;
    case 1:
      e.bits = static_cast<uint64_t>(std::get<int64_t>(v));
      break;
    case 2:
      e.bits = std::bit_cast<uint64_t>(std::get<double>(v));
      break;
    default:
      e.str = std::get<std::string>(v);
  }
  return e;
}

MetadataValue value_of(const Entry& e) {
  switch (e.tag) {
    case 0:
      return MetadataValue(e.bits != 0);
    case 1:
      return MetadataValue(static_cast<int64_t>(e.bits));
    case 2:
      return MetadataValue(std::bit_cast<double>(e.bits));
    default:
      return MetadataValue(std::string(e.str));
  }
}

// The entries, already in ascending key order without repeats, in the compact form.
void put_entries(std::string& out, std::span<const Entry> entries) {
  if (entries.empty()) return;
  put_varint(out, entries.size());
  for (const Entry& e : entries) {
    put_varint(out, e.key.size());
    out += e.key;
    out.push_back(static_cast<char>(e.tag));
    switch (e.tag) {
      case 0:
        out.push_back(e.bits != 0 ? 1 : 0);
        break;
      case 1:
        put_varint(out, zigzag(static_cast<int64_t>(e.bits)));
        break;
      case 2:
        for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>(e.bits >> (8 * b)));
        break;
      default:
        put_varint(out, e.str.size());
        out += e.str;
    }
  }
}

// Walks the entries of compact metadata in place, handing each to `fn`.
template <class Fn>
void for_each_entry(std::string_view bytes, Fn&& fn) {
  if (bytes.empty()) return;
  size_t at = 0;
  const uint64_t n = get_varint(bytes, at);
  for (uint64_t i = 0; i < n; ++i) {
    Entry e{get_bytes(bytes, at), static_cast<uint8_t>(bytes[at++]), 0, {}, i};
    switch (e.tag) {
      case 0:
        e.bits = bytes[at++] != 0 ? 1 : 0;
        break;
      case 1:
        e.bits = static_cast<uint64_t>(unzigzag(get_varint(bytes, at)));
        break;
      case 2:
        for (int b = 0; b < 8; ++b) {
          e.bits |= uint64_t{static_cast<uint8_t>(bytes[at++])} << (8 * b);
        }
        break;
      default:
        e.str = get_bytes(bytes, at);
    }
    fn(e);
  }
}

}  // namespace

std::string encode_compact_metadata(const Metadata& metadata) {
  std::vector<Entry> entries;
  entries.reserve(metadata.size());
  for (const auto& [key, value] : metadata) entries.push_back(entry_of(key, value));
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.key < b.key; });
  std::string out;
  put_entries(out, entries);
  return out;
}

Metadata decode_compact_metadata(std::string_view bytes) {
  Metadata out;
  for_each_entry(bytes, [&](const Entry& e) { out.emplace(std::string(e.key), value_of(e)); });
  return out;
}

size_t transcode_compact_metadata(std::string_view bytes, Encoder* enc) {
  size_t n = ENCODED_COUNT_SIZE;
  size_t entries = 0;
  if (!bytes.empty()) {
    size_t at = 0;
    entries = static_cast<size_t>(get_varint(bytes, at));
  }
  if (enc != nullptr) enc->put_count(entries);
  for_each_entry(bytes, [&](const Entry& e) {
    const size_t value = e.tag == 0 ? 1 : e.tag < 3 ? 8 : encoded_string_size(e.str);
    n += encoded_string_size(e.key) + 4 + value;
    if (enc == nullptr) return;
    enc->put_string(e.key);
    enc->put_enum(e.tag);
    if (e.tag == 0) {
      enc->put_bool(e.bits != 0);
    } else if (e.tag < 3) {
      enc->put_u64(e.bits);  // an int's or a float's eight bytes
    } else {
      enc->put_string(e.str);
    }
  });
  return n;
}

Status CompactMetadataReader::read(Decoder& dec, std::string& out) {
  out.clear();
  // Smallest entry: an empty key (8), the tag (4) and a bool (1).
  ASSIGN_OR_RETURN(uint64_t n, dec.count(8 + 4 + 1));
  std::vector<Entry>& entries = entries_;
  entries.clear();
  for (uint64_t i = 0; i < n; ++i) {
    Entry e{};
    e.order = i;
    ASSIGN_OR_RETURN(e.key, dec.string_view());
    ASSIGN_OR_RETURN(e.tag, dec.enum_index(METADATA_TAG_COUNT));
    switch (e.tag) {
      case 0: {
        ASSIGN_OR_RETURN(bool b, dec.boolean());
        e.bits = b ? 1 : 0;
        break;
      }
      case 1:
      case 2: {
        ASSIGN_OR_RETURN(e.bits, dec.u64());
        break;
      }
      default:
        ASSIGN_OR_RETURN(e.str, dec.string_view());
    }
    entries.push_back(e);
  }
  // Ascending keys, file order among equal keys (a stable sort would allocate a buffer); of a
  // key stored twice the later value is kept.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.key != b.key ? a.key < b.key : a.order < b.order;
  });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;
    entries[kept++] = entries[i];
  }
  put_entries(out, std::span(entries).first(kept));
  return Status();
}

// ---- DocumentStore ----

std::string_view DocumentStore::stored(uint32_t p) const {
  const std::string_view from = std::string_view(arena_).substr(static_cast<size_t>(slots_[p]));
  size_t at = 0;
  const auto inner = static_cast<size_t>(get_varint(from, at));
  return from.substr(0, at + inner);
}

std::string_view DocumentStore::record(uint32_t p) const {
  const std::string_view from = std::string_view(arena_).substr(static_cast<size_t>(slots_[p]));
  size_t at = 0;
  return get_bytes(from, at);
}

std::string_view DocumentStore::metadata_bytes(uint32_t p) const {
  const std::string_view r = record(p);
  size_t at = 0;
  return get_bytes(r, at);
}

std::string_view DocumentStore::text(uint32_t p) const {
  const std::string_view r = record(p);
  size_t at = 0;
  (void)get_bytes(r, at);
  return r.substr(at);
}

void DocumentStore::reserve(size_t ids, size_t bytes) {
  if (ids > slots_.capacity()) {
    slots_.reserve(std::max(ids, slots_.capacity() + slots_.capacity() / 2));
  }
  // The space of removed records is reclaimed once it is half the arena, so the arena stays
  // within twice the live records and each byte is copied a bounded number of times.
  const size_t used = arena_.size();
  if (garbage_ > 0 && 2 * garbage_ >= used) {
    compact(bytes);
    return;
  }
  if (used + bytes > arena_.capacity()) {
    arena_.reserve(std::max(used + bytes, arena_.capacity() + arena_.capacity() / 2));
  }
}

void DocumentStore::compact(size_t extra) {
  std::string fresh;
  const size_t keep = arena_.size() - static_cast<size_t>(garbage_);
  fresh.reserve(keep + extra);  // may throw: nothing changed yet
  for (uint32_t p = 0; p < slots_.size(); ++p) {
    if (slots_[p] == kDead) continue;
    const uint64_t at = fresh.size();
    fresh += stored(p);
    slots_[p] = at;
  }
  arena_.swap(fresh);
  garbage_ = 0;
}

void DocumentStore::put(uint32_t p, std::string_view text,
                        std::string_view compact_metadata) noexcept {
  if (p >= slots_.size()) slots_.resize(size_t{p} + 1, kDead);  // within reserved capacity
  erase(p);
  slots_[p] = arena_.size();
  char prefix[20];  // two varints of at most ten bytes: nothing here allocates
  size_t n = put_varint(prefix, unprefixed_size(text, compact_metadata));
  n += put_varint(prefix + n, compact_metadata.size());
  arena_.append(prefix, n);
  arena_ += compact_metadata;
  arena_ += text;
  ++live_;
}

DocumentStore DocumentStore::renumbered(std::span<const uint32_t> target, size_t slots) && {
  DocumentStore out;
  out.slots_.assign(slots, kDead);
  for (size_t i = 0; i < target.size() && i < slots_.size(); ++i) {
    if (slots_[i] == kDead) continue;
    out.slots_[target[i]] = slots_[i];
    ++out.live_;
  }
  out.arena_ = std::move(arena_);
  out.garbage_ = garbage_;
  return out;
}

void DocumentStore::erase(uint32_t p) noexcept {
  if (!live(p)) return;
  garbage_ += stored(p).size();
  slots_[p] = kDead;
  --live_;
}

}  // namespace tarnwell_core
