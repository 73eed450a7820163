// Settings file: "key = value" lines, ";" comments and "[group]" lines, read
// whole at open and written back whole at close. One file is open at a time;
// the state is process-wide. Lookups and writes see only the top section (the
// lines before the first group line). Keys compare ignoring ASCII case.
// Keys and values are bytes, handed in and out as they are: on Linux the
// program's text is UTF-8 already. A file's UTF-8 mark is skipped when it is
// read and kept when the file is rewritten, by settings_create too.
#pragma once

#include <string>

// Closes any open file, then opens `path` and parses it. Non-zero when the
// file exists and was read; 0 otherwise (lookups then return their defaults,
// and writes are kept for a file created at close).
int settings_open(const char* path);

// Closes any open file, then creates `path` empty (replacing it). Non-zero on
// success, 0 when it cannot be created (later writes then change nothing).
// A replaced file that began with the UTF-8 mark is rewritten with it.
int settings_create(const char* path);

// The value of `key` with surrounding blanks removed, or `fallback` when the
// key is not in the top section. Bytes that are not UTF-8 come back as they
// are in the file.
std::string settings_read_text(const char* key, const char* fallback);

// The value of `key` read like atoi (blanks, one sign, digits up to the first
// other character; no digits give 0), or `fallback` when the key is absent.
int settings_read_number(const char* key, int fallback);

// Sets `key` to `text` (the first such key of the top section, taking the
// key's case given here), or adds it at the end of the top section. A value
// that holds bytes a window cannot show comes back from it with replacement
// characters (U+FFFD) in their place: a `text` that is the key's old value
// (open, or in the file settings_create replaced) shown that way keeps the
// old bytes, so that saving never destroys what could not be shown.
void settings_write_text(const char* key, const char* text);
void settings_write_number(const char* key, int number);

// Writes the file back if anything was written, then forgets it. A file that
// was only read stays byte for byte as it was.
void settings_close();
