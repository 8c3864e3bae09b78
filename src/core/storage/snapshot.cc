// Snapshot containers, saving and loading. A save encodes the whole file into one buffer sized
// exactly beforehand (for the sealed form the body is built where the ciphertext goes and sealed
// in place), then hands it to the durable atomic replace of util/file.h.
#include "core/storage/snapshot.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "core/storage/snapshot_codec.h"
#include "core/util/crc32.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

constexpr size_t MARKER_SIZE = 4;
constexpr size_t CRC_SIZE = 4;

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

bool marker_at(std::span<const uint8_t> bytes, size_t at, const char* marker) {
  return std::memcmp(bytes.data() + at, marker, MARKER_SIZE) == 0;
}

// Encodes the body behind `prefix` bytes of room and leaves `suffix` bytes of room after it, all
// in one allocation. Runs under the collection's shared lock.
Result<std::vector<uint8_t>> encode_with_room(const CollectionData& data, size_t prefix,
                                              size_t suffix, size_t* body_size) {
  const size_t size = encoded_body_size(data);
  std::vector<uint8_t> out;
  out.reserve(prefix + size + suffix);
  out.resize(prefix);
  Encoder enc(out);
  encode_collection_body(data, enc);
  if (out.size() != prefix + size) {
    // The size function and the encoder disagree: a bug here, never a property of the data.
    return Err(Status::invalid_data("snapshot encoder wrote " +
                                    std::to_string(out.size() - prefix) + " bytes for a body of " +
                                    std::to_string(size)));
  }
  out.resize(prefix + size + suffix);
  *body_size = size;
  return out;
}

}  // namespace

std::string snapshot_file_name(std::string_view name) {
  std::string out(name);
  out += '.';
  out += SNAPSHOT_EXTENSION;
  return out;
}

bool has_snapshot_extension(std::string_view file_name) {
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return file_name.substr(dot + 1) == SNAPSHOT_EXTENSION;
}

Result<std::vector<uint8_t>> encode_snapshot(const Collection& collection, const EncryptionKey* key,
                                             std::string* name_out) {
  // Encoding holds the shared lock, so the bytes are one consistent picture of the collection;
  // the lock is released before the (slow) write, since the buffer is already complete.
  return collection.read([&](const CollectionData& data) -> Result<std::vector<uint8_t>> {
    if (name_out) *name_out = data.name;
    size_t body = 0;
    if (key) {
      ASSIGN_OR_RETURN(std::vector<uint8_t> out,
                       encode_with_room(data, MARKER_SIZE + EncryptionKey::kNonceBytes,
                                        EncryptionKey::kTagBytes, &body));
      std::memcpy(out.data(), ENCRYPTED_SNAPSHOT_MARKER, MARKER_SIZE);
      RETURN_IF_ERROR(key->encrypt_in_place(std::span(out).subspan(MARKER_SIZE)));
      return out;
    }
    ASSIGN_OR_RETURN(std::vector<uint8_t> out,
                     encode_with_room(data, 0, MARKER_SIZE + CRC_SIZE, &body));
    const uint32_t crc = crc32_ieee(std::span(out).first(body));
    std::memcpy(out.data() + body, PLAIN_SNAPSHOT_MARKER, MARKER_SIZE);
    put_be32(out.data() + body + MARKER_SIZE, crc);
    return out;
  });
}

Status save_collection(const Collection& collection, const std::string& dir,
                       const EncryptionKey* key) {
  std::string name;
  ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, encode_snapshot(collection, key, &name));
  // The name becomes a file name; names are checked where collections are made, but a file
  // outside `dir` must be impossible whatever reached this point.
  RETURN_IF_ERROR(validate_collection_name(name));
  struct stat st;
  const bool existed = ::stat(dir.c_str(), &st) == 0;
  RETURN_IF_ERROR(create_dir_all(dir, 0777));
  // Snapshots may hold private data: a directory made for them is kept to its owner (not fatal,
  // as the files themselves are 0600). A directory that existed is the caller's, perhaps a home
  // or a shared one such as /tmp whose sticky bit must survive: its permissions are left alone.
  if (!existed) (void)::chmod(dir.c_str(), 0700);
  return replace_file_atomically(dir, snapshot_file_name(name), bytes);
}

Result<std::shared_ptr<Collection>> decode_snapshot(std::span<uint8_t> file,
                                                    const std::string& path,
                                                    const EncryptionKey* key) {
  std::span<const uint8_t> body;
  if (file.size() >= MARKER_SIZE && marker_at(file, 0, ENCRYPTED_SNAPSHOT_MARKER)) {
    if (key == nullptr) {
      return Err(Status::invalid_data("snapshot \"" + path +
                                      "\" is encrypted but no encryption key was provided"));
    }
    ASSIGN_OR_RETURN(body, key->decrypt_in_place(file.subspan(MARKER_SIZE)));
  } else if (file.size() >= MARKER_SIZE + CRC_SIZE &&
             marker_at(file, file.size() - MARKER_SIZE - CRC_SIZE, PLAIN_SNAPSHOT_MARKER)) {
    body = file.first(file.size() - MARKER_SIZE - CRC_SIZE);
    const uint32_t stored = get_be32(file.data() + file.size() - CRC_SIZE);
    const uint32_t computed = crc32_ieee(body);
    if (stored != computed) {
      return Err(Status::invalid_data("Snapshot CRC32 mismatch: expected " + hex32(stored) +
                                      ", got " + hex32(computed) + ". File may be corrupted: \"" +
                                      path + "\""));
    }
  } else {
    body = file;
  }
  ASSIGN_OR_RETURN(CollectionFields fields, decode_collection_body(body));
  fields.source_bytes = body.size();
  if (!fields.hnsw.config.store_raw_vectors) {
    // A copy the configuration does not ask for is not kept, whatever the file held.
    std::vector<float>().swap(fields.hnsw.raw_vectors);
  }
  Status valid = validate(fields);
  if (!valid.ok()) {
    return Err(Status::invalid_data("snapshot validation failed: " + valid.message()));
  }
  return Collection::from_fields(std::move(fields));
}

Result<std::shared_ptr<Collection>> load_collection(const std::string& path,
                                                    const EncryptionKey* key) {
  ASSIGN_OR_RETURN(std::vector<uint8_t> file, read_file(path));
  return decode_snapshot(file, path, key);
}

}  // namespace tarnwell_core
