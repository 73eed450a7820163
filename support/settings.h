// Settings file: "key = value" lines, ";" comments and "[group]" lines, read
// whole at open and written back whole at close, through a new file that
// takes the old one's name only once it is complete and on the disk: the
// old file is never cut or emptied, whatever fails. A link is followed to
// the file it names and stays a link. One file is open at a time;
// the state is process-wide. Lookups and writes see only the top section (the
// lines before the first group line). Keys compare ignoring ASCII case.
// Keys and values are bytes, handed in and out as they are: on Linux the
// program's text is UTF-8 already. A file's UTF-8 mark is skipped when it is
// read and kept when the file is rewritten, by settings_create too.
#pragma once

#include <string>

// Closes any open file, then opens `path` and parses it. Non-zero when the
// file exists and was read; 0 otherwise (lookups then return their defaults,
// and writes are kept: for a file created at close when none was there, in
// memory only when something else is there or it could not be read).
int settings_open(const char* path);

// Closes any open file, then starts a new content for `path`, which replaces
// the file at close, even when nothing was written; until then the old file
// stays as it is. Non-zero on success; 0 when `path` cannot be replaced (its
// folder is missing, something other than a file is there, or a file we may
// not read or write), and later writes then change nothing. A replaced file
// keeps its permissions, and one that began with the UTF-8 mark is
// rewritten with it.
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

// Writes the file back if anything was written (always after
// settings_create), then forgets it. 1 when nothing was to be written or the
// new content is in place; 0 when it could not be put there whole (the file
// may not be written, the folder takes no new file, a write or the flush to
// the disk failed): the file is then exactly as it was, and no new file is
// left beside it. A file that was only read stays byte for byte as it was.
int settings_close();
