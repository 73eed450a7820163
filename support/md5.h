// MD5 (RFC 1321) of a file's bytes as 32 lowercase hexadecimal digits, and the
// incremental form that lets a receiver hash a body while it stores it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Md5 {
    uint32_t state[4];       // A, B, C, D
    uint64_t length;         // bytes fed so far
    unsigned char block[64]; // bytes of the unfinished block
};

void md5_init(Md5* m);
void md5_update(Md5* m, const void* data, std::size_t n);
// Finishes the digest and returns its 32-digit lowercase text.
std::string md5_final(Md5* m);
// A digest under way as text, so that it can go on after the program ended
// ("length A B C D tail" in decimal and hexadecimal), and read back; 0 when
// the text is not such a state.
std::string md5_state_text(const Md5& m);
int md5_state_read(const std::string& text, Md5* m);

// The fingerprint of the file at `path`, read in pieces of 1,000,000 bytes;
// "" when the file cannot be opened or read (missing, empty path, a folder).
std::string md5_file(const char* path);
