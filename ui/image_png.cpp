// The PNG decoder over libpng: every colour type and bit depth, interlaced or
// not, with tRNS transparency, becomes 8-bit RGBA. libpng reports errors
// through our error function, which jumps back here instead of ending the
// program; warnings are dropped. Sizes over the service's limits are refused
// by png_set_user_limits before libpng allocates rows, and ancillary chunks
// are capped so a header claiming a huge chunk cannot make it allocate.
#include "image_codec.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace {

// Everything that must survive a longjmp lives here, not in locals.
struct PngReader {
    jmp_buf jump;                // where png_error lands
    const unsigned char* data;   // the whole stored file
    std::size_t size;            // its length
    std::size_t pos;             // next byte libpng reads
    unsigned char* pixels;       // output, freed on failure
    png_bytep* rows;             // row pointers into pixels
    int depth;                   // bits per pixel of the stored picture
};

void png_on_error(png_structp png, png_const_charp) {
    PngReader* r = static_cast<PngReader*>(png_get_error_ptr(png));
    longjmp(r->jump, 1);
}

void png_on_warning(png_structp, png_const_charp) {}

void png_on_read(png_structp png, png_bytep out, png_size_t length) {
    PngReader* r = static_cast<PngReader*>(png_get_io_ptr(png));
    if (length > r->size - r->pos) png_error(png, "truncated");
    std::memcpy(out, r->data + r->pos, length);
    r->pos += length;
}

// Walks the chunk list up to IEND: every stated length must fit in the data.
// libpng allocates (and clears) a chunk's stated length before reading it,
// so a 57-byte file claiming a 1 GiB text chunk would otherwise cost a
// gigabyte; the whole file is in memory, so such a claim is simply false.
bool png_chunks_fit(const unsigned char* p, std::size_t size) {
    std::size_t pos = 8;
    for (;;) {
        if (size - pos < 12) return false;
        std::size_t length = (std::size_t(p[pos]) << 24) | (std::size_t(p[pos + 1]) << 16) |
                             (std::size_t(p[pos + 2]) << 8) | std::size_t(p[pos + 3]);
        if (length > size - pos - 12) return false;
        if (std::memcmp(p + pos + 4, "IEND", 4) == 0) return true;
        pos += 12 + length;  // each step advances, so the walk ends
    }
}

}  // namespace

// See header.
int image_decode_png(const void* data, std::size_t size, Image* out) {
    if (!data || size < 8 || png_sig_cmp(static_cast<png_const_bytep>(data), 0, 8) != 0) return 0;
    if (!png_chunks_fit(static_cast<const unsigned char*>(data), size)) return 0;
    PngReader r;
    std::memset(&r, 0, sizeof r);
    r.data = static_cast<const unsigned char*>(data);
    r.size = size;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r, png_on_error, png_on_warning);
    if (!png) return 0;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return 0;
    }
    if (setjmp(r.jump)) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::free(r.rows);
        std::free(r.pixels);
        return 0;
    }
    png_set_read_fn(png, &r, png_on_read);
    png_set_user_limits(png, png_uint_32(IMAGE_MAX_SIDE), png_uint_32(IMAGE_MAX_SIDE));
    png_set_chunk_malloc_max(png, 8 * 1024 * 1024);
    png_set_chunk_cache_max(png, 256);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Mutated data almost never carries valid checksums; checking them would
    // keep the fuzzer from ever reaching the decoder behind them.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif

    png_read_info(png, info);
    png_uint_32 w = png_get_image_width(png, info);
    png_uint_32 h = png_get_image_height(png, info);
    int bit_depth = png_get_bit_depth(png, info);
    int colour = png_get_color_type(png, info);
    if (!image_size_ok(w, h)) png_error(png, "too large");

    int channels = png_get_channels(png, info);
    r.depth = bit_depth * channels;
    png_set_expand(png);  // palette to RGB, grey below 8 bits to 8, tRNS to alpha
    png_set_scale_16(png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);  // no-op when alpha exists
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != std::size_t(w) * 4) png_error(png, "unexpected layout");

    r.pixels = image_alloc_pixels(int(w), int(h));
    r.rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
    if (!r.pixels || !r.rows) png_error(png, "out of memory");
    for (png_uint_32 y = 0; y < h; y++) r.rows[y] = r.pixels + std::size_t(y) * w * 4;
    png_read_image(png, r.rows);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(r.rows);
    out->width = int(w);
    out->height = int(h);
    out->depth = r.depth;
    out->pixels = r.pixels;
    return 1;
}
