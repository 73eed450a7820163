// File-system helpers. Paths are native ("/" separated); folders handed
// around end in "/".
#pragma once

#include <cstdint>
#include <string>

// The working folder, always ending in "/" ("/" itself for the root).
std::string current_directory();

// Size in bytes of the file at `path`; -1 when nothing is there or the path is
// empty, and for what is neither a file nor a folder (a pipe, a device), which
// could not be read to its end; -2 for a folder (a trailing "/" is allowed).
int64_t file_size(const char* path);

// Creates the last level of `path` (trailing separators dropped; blanks kept).
// Non-zero when it was created; 0 when it exists, its parent is missing or
// the right is lacking.
int create_directory(const char* path);

// `folder` made absolute against `base` (a folder ending in "/"), so that ""
// names `base` itself, and given its final "/": names are appended to it.
std::string folder_absolute(const std::string& folder, const std::string& base);

// Non-zero when the file was deleted.
int delete_file(const char* path);

// Replaces the file at `path` with `text` whole or not at all (written beside
// it as `path` + ".new", then renamed over it). Non-zero on success.
int file_replace(const std::string& path, const std::string& text);

// Removes the plain files in `folder` whose names `wanted` accepts and that
// last changed before `before` (seconds since the epoch); the count removed.
int remove_old_files(const std::string& folder, int64_t before, bool (*wanted)(const std::string& name));
