// The twelve pictures that travel inside the program, as the complete stored
// files (icon files and PNG) they were drawn into. The bytes are generated at
// build time from the files in this folder.
#pragma once

#include <cstddef>

struct EmbeddedPicture {
    const unsigned char* data;  // the whole stored file, or nullptr
    std::size_t size;           // its length in bytes, 0 when absent
};

// The stored file of embedded image `number` (0 to 10 and 13); {nullptr, 0}
// for any other number.
EmbeddedPicture asset_picture(int number);
