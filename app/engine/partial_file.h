// A received body cut short, kept so that the same file offered again goes
// on where it stopped. Beside the bytes ("NAME.jox-part") stands what the
// receiver needs to go on ("NAME.jox-resume"): the offered size and
// modification time, how many bytes are good, and the MD5 state after them.
// The state is written after the bytes it covers, and replaced whole, so a
// program killed at any moment leaves a state that is true of its file.
#pragma once

#include "md5.h"

#include <cstdint>
#include <string>

extern const char PARTIAL_SUFFIX[];  // ".jox-part"
extern const char RESUME_SUFFIX[];   // ".jox-resume"

struct PartialState {
    int64_t size = 0;       // the offered size
    int64_t mtime = 0;      // the offered modification time
    int64_t offset = 0;     // bytes of the part that are good
    Md5 hash{};             // the digest after those bytes
};

// 1 when `name` ends in one of our suffixes (a stranger's file may not).
int partial_reserved_name(const std::string& name);

// Opens `folder`+`name`'s part to go on from its state when that state is
// for this size and time and the part holds its bytes: cut back to them,
// positioned at the end, `state` filled. Otherwise both files are removed
// and a new, empty part is made (`state->offset` 0, hash fresh). -1 when no
// part can be made.
int partial_open(const std::string& folder, const std::string& name, int64_t size, int64_t mtime,
                 PartialState* state);
// Records the state of a part whose bytes are written. 0 on failure.
int partial_save(const std::string& folder, const std::string& name, const PartialState& state);
// Removes the part and its state.
void partial_remove(const std::string& folder, const std::string& name);
// The part's path.
std::string partial_path(const std::string& folder, const std::string& name);
// Removes parts and states in `folder` last changed before `before` (seconds
// since the epoch); the count removed.
int partial_sweep(const std::string& folder, int64_t before);
