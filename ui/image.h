// The picture service: numbered pictures decoded from memory or files into
// 32-bit RGBA, scaled smoothly and saved as JPEG or BMP. Decoders for bitmap
// and icon files are our own; JPEG and PNG go through libjpeg and libpng.
// Pictures arrive from strangers, so every decoder refuses corrupt, truncated
// and absurd data (more than 16384 pixels a side or 64 megapixels) with 0,
// never a crash and never an exit from inside a codec. No Qt here.
#pragma once

#include <cstddef>
#include <cstdint>

// "JPEG" as the 32-bit format code whose bytes read J, P, E, G.
constexpr uint32_t IMAGE_JPEG = 'J' | ('P' << 8) | ('E' << 16) | (uint32_t('G') << 24);
constexpr uint32_t IMAGE_BMP = 0;

// One decoded picture; what image_handle points at.
struct Image {
    int width;               // pixels
    int height;              // pixels
    int depth;               // bits per pixel of the source picture
    unsigned char* pixels;   // width * height * 4 bytes, R G B A, top row first
};

// Registers the JPEG decoder, the JPEG encoder and the PNG decoder, in that order.
void image_register_codecs();
// Decodes a stored picture (BMP, icon file, then the registered decoders) as
// `number`. Non-zero on success; 0 leaves the number empty.
int image_catch(int number, const void* data, std::size_t size);
// The same from a file. 0 when missing or undecodable.
int image_load(int number, const char* path);
int image_width(int number);
int image_height(int number);
// The picture for image controls and the status bar; nullptr when empty.
Image* image_handle(int number);
// Replaces the picture by a smoothly scaled copy (area averaging when
// shrinking). Non-zero on success; nothing happens at the same size.
int image_resize(int number, int width, int height);
// Writes IMAGE_JPEG (quality 0-10, clamped, times 10) or IMAGE_BMP (24-bit).
int image_save(int number, const char* path, uint32_t format, int quality);
void image_free(int number);
// A JPEG preview of the picture at `path`, scaled to the size `fit` gives,
// written to `jpeg_path`. Uses no numbered picture, so any thread may call
// it. Non-zero on success.
int image_make_preview(const char* path, const char* jpeg_path, int quality,
                       void (*fit)(int width, int height, int* fit_width, int* fit_height));
void image_free_all();

// The JPEG quality image_save passes to libjpeg for `quality` (0-10 clamped, × 10).
int image_jpeg_quality(int quality);
// Decoders on their own, for tests and fuzzing: each fills `out` (pixels from
// malloc, freed by the caller) and returns non-zero, or returns 0.
int image_decode_bmp(const void* data, std::size_t size, Image* out);
int image_decode_ico(const void* data, std::size_t size, Image* out);
int image_decode_png(const void* data, std::size_t size, Image* out);
int image_decode_jpeg(const void* data, std::size_t size, Image* out);
