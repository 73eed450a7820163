// Fuzz target: the JPEG decoder on arbitrary bytes. It must refuse or
// decode, never crash, leak, hang or read outside the input.
#include "image.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    Image image{};
    if (image_decode_jpeg(data, size, &image)) std::free(image.pixels);
    return 0;
}
