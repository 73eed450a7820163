// Fingerprints of our own files, kept as MD5 states in a folder of their own
// (`folder`, "" for none),
// so that a file sent again is not read again to be fingerprinted, and a
// cut transfer sent again reads only what its fingerprint had not reached.
// A state is kept for one version of one file: its device, inode, size,
// modification and change times (the change time moves with every write
// and cannot be set back), and is forgotten when a receiver finds the file
// corrupted.
#pragma once

#include "md5.h"

#include <atomic>
#include <cstdint>
#include <string>

// What names one version of a file; "" when it cannot be read.
std::string fingerprint_key(int fd);
// The saved state for `key`, with the bytes it covers (its length); 0 when
// there is none.
int fingerprint_load(const std::string& folder, const std::string& key, Md5* state);
void fingerprint_save(const std::string& folder, const std::string& key, const Md5& state);
// Forgets the file at `path` as it is now.
void fingerprint_forget(const std::string& folder, const std::string& path);
// Removes states not written since `before` (seconds since the epoch).
void fingerprint_sweep(const std::string& folder, int64_t before);

// The MD5 of the file at `path`, going on from a saved state where one
// covers part of it and saving its state as it goes (every `step` bytes and
// at the end). "" when unreadable, or when `cancel` becomes non-zero.
std::string fingerprint_file(const std::string& folder, const std::string& path, const std::atomic<int>& cancel,
                             int64_t step = 64 << 20);
