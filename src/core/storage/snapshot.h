// Snapshot files: one collection per file "{name}.twl" in a directory, in one of three containers
//   plain      body ‖ "TCR1" ‖ CRC-32 of the body (u32 big-endian)
//   encrypted  "TCE1" ‖ nonce(12) ‖ body sealed with AES-256-GCM ‖ tag(16)
//   bare       body (read only)
// where the body is the encoded collection (snapshot_codec.h). A save replaces the file
// atomically and durably (temporary file synced, renamed, directory synced); a load changes
// nothing and returns a validated collection or an error naming what is wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"
#include "core/storage/crypto.h"
#include "core/util/status.h"

namespace tarnwell_core {

inline constexpr char SNAPSHOT_EXTENSION[] = "twl";
inline constexpr char PLAIN_SNAPSHOT_MARKER[] = "TCR1";
inline constexpr char ENCRYPTED_SNAPSHOT_MARKER[] = "TCE1";

// "{name}.twl".
std::string snapshot_file_name(std::string_view name);

// Whether a directory entry is a snapshot: the text after its last '.', where that '.' is not
// the first character, is exactly "twl".
bool has_snapshot_extension(std::string_view file_name);

// The complete file bytes of a snapshot of `collection` (sealed when `key` is given), encoded
// into one buffer under the collection's shared lock. `name_out`, when given, receives the
// collection's name as encoded.
Result<std::vector<uint8_t>> encode_snapshot(const Collection& collection, const EncryptionKey* key,
                                             std::string* name_out = nullptr);

// Writes `dir`/"{name}.twl" for the collection, creating `dir` with missing parents (0777 before
// the umask, then chmod 0700, whose failure is ignored). The file gets mode 0600.
Status save_collection(const Collection& collection, const std::string& dir,
                       const EncryptionKey* key);

// Reads, checks, decodes and validates the snapshot at `path`.
Result<std::shared_ptr<Collection>> load_collection(const std::string& path,
                                                    const EncryptionKey* key);

// load_collection on bytes already read; `file` may be modified (decrypted in place). `path`
// only appears in messages.
Result<std::shared_ptr<Collection>> decode_snapshot(std::span<uint8_t> file,
                                                    const std::string& path,
                                                    const EncryptionKey* key);

}  // namespace tarnwell_core
