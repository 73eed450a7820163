// Settings file: "key = value" lines, ";" comments and "[group]" lines, read
// whole at open and written back whole at close. One file is open at a time;
// the state is process-wide. Lookups and writes see only the top section (the
// lines before the first group line). Keys compare ignoring ASCII case.
// A file that starts with the UTF-8 mark is read and written as UTF-8; texts
// handed in and out are 8-bit (bytes 80-FF map to U+0080-U+00FF).
#pragma once

#include <string>

// Closes any open file, then opens `path` and parses it. Non-zero when the
// file exists and was read; 0 otherwise (lookups then return their defaults,
// and writes are kept for a file created at close).
int settings_open(const char* path);

// Closes any open file, then creates `path` empty (replacing it). Non-zero on
// success, 0 when it cannot be created (later writes then change nothing).
int settings_create(const char* path);

// The value of `key` with surrounding blanks removed, or `fallback` when the
// key is not in the top section. In UTF-8 mode a malformed value or one with a
// code point above U+00FF reads as "".
std::string settings_read_text(const char* key, const char* fallback);

// The value of `key` read like atoi (blanks, one sign, digits up to the first
// other character; no digits give 0), or `fallback` when the key is absent.
int settings_read_number(const char* key, int fallback);

// Sets `key` to `text` (the first such key of the top section, taking the
// key's case given here), or adds it at the end of the top section.
void settings_write_text(const char* key, const char* text);
void settings_write_number(const char* key, int number);

// Writes the file back if anything was written, then forgets it. A file that
// was only read stays byte for byte as it was.
void settings_close();
