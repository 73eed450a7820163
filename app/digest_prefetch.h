// Fingerprints worked out ahead of their offers, on a helper thread, so that
// the waits before the first offer (the pause between our own tokens, the
// moment a busy line needs to answer) cost no time of their own.
#pragma once

#include <string>
#include <vector>

// Starts hashing `paths` in order on a helper thread (once per run).
void digest_prefetch(const std::vector<std::string>& paths);
// The MD5 text of the file at `path`: the prefetched one when `path` was
// handed to digest_prefetch (waiting for the helper to reach it), else
// computed now. "" when the file cannot be read.
std::string digest_of(const std::string& path);
// Waits for the helper and forgets every prefetched fingerprint.
void digest_prefetch_stop();
