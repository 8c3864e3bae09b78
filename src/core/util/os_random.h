// Bytes from the operating system's cryptographic random source: the getrandom system call,
// falling back to /dev/urandom where the call does not exist. Used for document ids, encryption
// nonces and the level seeds of HNSW indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/util/status.h"

namespace tarnwell_core {

// Fills `out` completely, continuing short reads and retrying interrupted calls. On failure
// returns an kIoError carrying the system's error text; `out` is then unspecified.
Status fill_os_random(std::span<uint8_t> out);

}  // namespace tarnwell_core
