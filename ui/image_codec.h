// Shared by the picture service's own files (and by tests): the limits every
// decoder enforces before it allocates, the pixel allocator, and the two
// writers behind image_save. Not part of the service's public contract.
#pragma once

#include "image.h"

#include <cstddef>
#include <cstdint>

// A stranger's header may claim any size; nothing larger is ever allocated.
constexpr long long IMAGE_MAX_SIDE = 16384;
constexpr long long IMAGE_MAX_PIXELS = 64LL * 1024 * 1024;

// True when width x height is positive and within both limits.
bool image_size_ok(long long width, long long height);
// width * height * 4 bytes from malloc (nullptr when the size is refused or
// memory is short). Contents undefined.
unsigned char* image_alloc_pixels(int width, int height);

// Writes `image` as a baseline JPEG at libjpeg quality 0-100 (RGB, alpha
// dropped). Non-zero when the whole file was written.
int image_write_jpeg(const Image* image, const char* path, int quality);
// Writes `image` as a 24-bit bottom-up bitmap file (14 + 40 byte headers,
// alpha dropped). Non-zero when the whole file was written.
int image_write_bmp(const Image* image, const char* path);
// Scales `src` to width x height into `out` (area average when shrinking,
// bilinear when enlarging, per axis; colour weighted by alpha).
int image_scale(const Image* src, int width, int height, Image* out);
