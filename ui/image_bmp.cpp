// Our own decoders for bitmap files and icon files, and the 24-bit bitmap
// writer. Both decoders share one pixel-row reader for device-independent
// bitmaps (1, 4, 8, 16, 24 and 32 bits; uncompressed or with bit-field
// masks), and bitmap files add the run-length encodings of 4- and 8-bit
// pictures, which paint programs still write. Every offset read from the
// data is checked against the buffer size before use, and the picture size
// is checked before any allocation. Bitmaps with an embedded JPEG or PNG are
// refused.
#include "image_codec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One decoded colour source: a palette or bit-field masks, never both.
struct BmpFormat {
    int width;                     // pixels
    int height;                    // pixels, always positive here
    bool bottom_up;                // rows stored last row first
    int bpp;                       // 1, 4, 8, 16, 24 or 32
    const unsigned char* palette;  // BGRx (or BGR when entry_size 3) entries
    std::size_t palette_count;     // entries actually present in the buffer
    int entry_size;                // 4, or 3 for the old 12-byte header
    uint32_t mask[4];              // R G B A masks for 16/32 bits; alpha may be 0
    bool use_masks;                // decode 16/32 bits through mask[]
    bool rle;                      // rows are run-length encoded (4 or 8 bits)
};

uint16_t bmp_u16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t bmp_u32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
int32_t bmp_i32(const unsigned char* p) { return int32_t(bmp_u32(p)); }

// Bytes per stored row, padded to 4; 64-bit so a huge width cannot wrap.
unsigned long long bmp_stride(int width, int bpp) {
    return ((unsigned long long)width * unsigned(bpp) + 31) / 32 * 4;
}

// Extracts the channel selected by `mask` from `v`, scaled to 0-255.
unsigned char bmp_channel(uint32_t v, uint32_t mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (!(mask & 1u)) {
        mask >>= 1;
        shift++;
    }
    int bits = 0;
    while (bits < 32 && ((mask >> bits) & 1u)) bits++;
    uint32_t value = (v >> shift) & mask;
    if (bits >= 8) return (unsigned char)(value >> (bits - 8));
    // Replicate the high bits so a full 5-bit value gives 255, not 248.
    uint32_t max = (1u << bits) - 1;
    return (unsigned char)((value * 255 + max / 2) / max);
}

// True when the stored rows fit in `avail` bytes (the last row may lack its
// padding). Checked before the pixels are allocated, so a header claiming a
// huge picture over a few bytes of data costs nothing.
bool bmp_rows_fit(const BmpFormat& f, std::size_t avail) {
    unsigned long long stride = bmp_stride(f.width, f.bpp);
    unsigned long long last_row = ((unsigned long long)f.width * unsigned(f.bpp) + 7) / 8;
    return stride * (unsigned long long)(f.height - 1) + last_row <= avail;
}

// Writes palette entry `index` (or black past a short palette) as RGBA.
void bmp_put_index(const BmpFormat& f, unsigned index, unsigned char* dst) {
    if (index < f.palette_count) {
        const unsigned char* e = f.palette + index * std::size_t(f.entry_size);
        dst[0] = e[2];
        dst[1] = e[1];
        dst[2] = e[0];
    } else {
        dst[0] = dst[1] = dst[2] = 0;
    }
    dst[3] = 255;
}

void bmp_read_rows(const BmpFormat& f, const unsigned char* bits, unsigned char* out) {
    unsigned long long stride = bmp_stride(f.width, f.bpp);
    for (int y = 0; y < f.height; y++) {
        int src_y = f.bottom_up ? f.height - 1 - y : y;
        const unsigned char* row = bits + stride * (unsigned long long)src_y;
        unsigned char* dst = out + (std::size_t)y * std::size_t(f.width) * 4;
        for (int x = 0; x < f.width; x++, dst += 4) {
            if (f.bpp <= 8) {
                unsigned bitpos = unsigned(x) * unsigned(f.bpp);
                unsigned byte = row[bitpos / 8];
                unsigned index = (byte >> (8 - f.bpp - bitpos % 8)) & ((1u << f.bpp) - 1);
                bmp_put_index(f, index, dst);
            } else if (f.bpp == 24) {
                const unsigned char* p = row + std::size_t(x) * 3;
                dst[0] = p[2];
                dst[1] = p[1];
                dst[2] = p[0];
                dst[3] = 255;
            } else {
                uint32_t v = f.bpp == 16 ? bmp_u16(row + std::size_t(x) * 2) : bmp_u32(row + std::size_t(x) * 4);
                dst[0] = bmp_channel(v, f.mask[0]);
                dst[1] = bmp_channel(v, f.mask[1]);
                dst[2] = bmp_channel(v, f.mask[2]);
                dst[3] = f.mask[3] ? bmp_channel(v, f.mask[3]) : 255;
            }
        }
    }
}

// Reads the pixel rows at `bits` into new RGBA pixels (top row first); alpha
// comes from the alpha mask when there is one, else 255. nullptr when the
// rows do not fit in `avail` or memory is short.
unsigned char* bmp_decode_rows(const BmpFormat& f, const unsigned char* bits, std::size_t avail) {
    if (!bmp_rows_fit(f, avail)) return nullptr;
    unsigned char* pixels = image_alloc_pixels(f.width, f.height);
    if (pixels) bmp_read_rows(f, bits, pixels);
    return pixels;
}

// Decodes run-length encoded rows (BI_RLE8 or BI_RLE4) from `avail` bytes.
// Pixels the codes skip (deltas, early line or picture ends) take palette
// entry 0. Every step consumes input, so the loop ends with the data; a run
// or absolute block that would leave its row or the data is refused rather
// than clipped, since such a file is broken anyway.
unsigned char* bmp_decode_rle(const BmpFormat& f, const unsigned char* bits, std::size_t avail) {
    // Runs pack at most 255 pixels into two bytes; a header claiming far
    // more pixels than its data can describe is not worth the allocation.
    unsigned long long pixels_total = (unsigned long long)f.width * (unsigned long long)f.height;
    if (pixels_total > (unsigned long long)avail * 256 + 65536) return nullptr;
    unsigned char* out = image_alloc_pixels(f.width, f.height);
    if (!out) return nullptr;
    for (unsigned long long i = 0; i < pixels_total; i++) bmp_put_index(f, 0, out + i * 4);
    bool four = f.bpp == 4;
    long long x = 0, y = 0;  // y counts stored rows, bottom row first
    std::size_t at = 0;
    auto put = [&](unsigned index) {
        std::size_t row = std::size_t(f.height - 1 - y);
        bmp_put_index(f, index, out + (row * std::size_t(f.width) + std::size_t(x)) * 4);
        x++;
    };
    bool ok = true;
    while (ok && y < f.height && at + 2 <= avail) {
        unsigned count = bits[at], value = bits[at + 1];
        at += 2;
        if (count > 0) {  // encoded run
            if (x + count > f.width) { ok = false; break; }
            for (unsigned i = 0; i < count; i++)
                put(four ? (i % 2 ? value & 15u : value >> 4) : value);
        } else if (value == 0) {  // end of line
            x = 0;
            y++;
        } else if (value == 1) {  // end of bitmap
            break;
        } else if (value == 2) {  // delta
            if (at + 2 > avail) { ok = false; break; }
            x += bits[at];
            y += bits[at + 1];
            at += 2;
            if (x > f.width || (y >= f.height && x > 0)) ok = false;
        } else {  // absolute block of `value` pixels, padded to 16 bits
            std::size_t bytes = four ? (value + 1) / 2 : value;
            if (x + value > f.width || at + bytes > avail) { ok = false; break; }
            for (unsigned i = 0; i < value; i++) {
                unsigned b = bits[at + (four ? i / 2 : i)];
                put(four ? (i % 2 ? b & 15u : b >> 4) : b);
            }
            at += (bytes + 1) & ~std::size_t(1);
        }
    }
    if (!ok) {
        std::free(out);
        return nullptr;
    }
    return out;
}

bool bmp_any_alpha(const unsigned char* pixels, std::size_t n) {
    for (std::size_t i = 0; i < n; i++)
        if (pixels[i * 4 + 3] != 0) return true;
    return false;
}

// A mask must be one run of set bits; anything else would make
// bmp_channel's shift loops meaningless.
bool bmp_mask_ok(uint32_t m) {
    if (m == 0) return true;
    while (!(m & 1u)) m >>= 1;
    return (m & (m + 1)) == 0;
}

// Parses the info header at `hdr` (with `avail` bytes from there to the end of
// the buffer) into `f`. `icon` halves the height and allows only uncompressed
// data. `after` receives the offset (from hdr) just past the header, masks and
// palette. False for anything unsupported or out of bounds.
bool bmp_parse_info(const unsigned char* hdr, std::size_t avail, bool icon, BmpFormat* f, std::size_t* after) {
    if (avail < 12) return false;
    uint32_t hsize = bmp_u32(hdr);
    std::memset(f, 0, sizeof *f);
    long long w, h;
    uint32_t compression = 0, colours_used = 0;
    if (hsize == 12) {
        if (icon) return false;
        w = bmp_u16(hdr + 4);
        h = bmp_u16(hdr + 6);
        if (bmp_u16(hdr + 8) != 1) return false;
        f->bpp = bmp_u16(hdr + 10);
        f->entry_size = 3;
    } else {
        if (hsize < 40 || hsize > avail) return false;
        w = bmp_i32(hdr + 4);
        h = bmp_i32(hdr + 8);
        if (bmp_u16(hdr + 12) != 1) return false;
        f->bpp = bmp_u16(hdr + 14);
        compression = bmp_u32(hdr + 16);
        colours_used = bmp_u32(hdr + 32);
        f->entry_size = 4;
    }
    if (hsize > avail) return false;
    f->bottom_up = h > 0;
    if (h < 0) {
        if (icon) return false;
        h = -h;
    }
    if (icon) h /= 2;  // the colour bitmap and the mask share the height field
    if (!image_size_ok(w, h)) return false;
    f->width = int(w);
    f->height = int(h);

    std::size_t pos = hsize;
    switch (f->bpp) {
    case 1:
        if (compression != 0) return false;
        break;
    case 4: case 8:
        // BI_RLE8 goes with 8 bits, BI_RLE4 with 4; run-length rows are
        // always stored bottom-up.
        if (compression == (f->bpp == 8 ? 1u : 2u) && !icon && f->bottom_up && hsize != 12)
            f->rle = true;
        else if (compression != 0)
            return false;
        break;
    case 24:
        if (compression != 0) return false;
        break;
    case 16: case 32:
        if (compression == 0) {
            f->use_masks = true;
            if (f->bpp == 16) {
                f->mask[0] = 0x7C00; f->mask[1] = 0x03E0; f->mask[2] = 0x001F;
            } else {
                f->mask[0] = 0xFF0000; f->mask[1] = 0xFF00; f->mask[2] = 0xFF;
            }
        } else if (!icon && (compression == 3 || compression == 6)) {
            // BI_BITFIELDS / BI_ALPHABITFIELDS: masks follow a 40-byte header,
            // or sit inside a larger one.
            int count = compression == 6 ? 4 : 3;
            std::size_t at = 40;
            if (hsize == 40) {
                if (avail < 40 + std::size_t(count) * 4) return false;
                pos = 40 + std::size_t(count) * 4;
            } else if (hsize < 40 + std::size_t(count) * 4) {
                return false;
            }
            for (int i = 0; i < count; i++) f->mask[i] = bmp_u32(hdr + at + std::size_t(i) * 4);
            if (compression == 3 && hsize >= 56) f->mask[3] = bmp_u32(hdr + 52);
            f->use_masks = true;
        } else {
            return false;
        }
        for (uint32_t m : f->mask)
            if (!bmp_mask_ok(m)) return false;
        break;
    default:
        return false;
    }

    if (f->bpp <= 8) {
        std::size_t wanted = colours_used ? colours_used : (std::size_t(1) << f->bpp);
        if (wanted > 256) wanted = 256;
        std::size_t present = (avail - pos) / std::size_t(f->entry_size);
        f->palette = hdr + pos;
        f->palette_count = wanted < present ? wanted : present;
        pos += f->palette_count * std::size_t(f->entry_size);
    } else if (!icon && colours_used && colours_used <= 256) {
        // A palette may precede true-colour data; skip it when present.
        std::size_t skip = std::size_t(colours_used) * std::size_t(f->entry_size);
        if (skip <= avail - pos) pos += skip;
    }
    *after = pos;
    return true;
}

}  // namespace

// See header.
int image_decode_bmp(const void* data, std::size_t size, Image* out) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (!p || size < 14 + 12 || p[0] != 'B' || p[1] != 'M') return 0;
    uint32_t offset = bmp_u32(p + 10);
    BmpFormat f;
    std::size_t after;
    if (!bmp_parse_info(p + 14, size - 14, false, &f, &after)) return 0;
    if (offset < 14 || offset >= size) return 0;
    // A 32-bit BI_RGB bitmap has an unused fourth byte; most writers leave it 0,
    // some store alpha there. Read it as alpha, then treat all-zero as opaque.
    bool rgb32 = f.bpp == 32 && f.mask[3] == 0 && f.mask[0] == 0xFF0000 && f.mask[1] == 0xFF00 && f.mask[2] == 0xFF;
    if (rgb32) f.mask[3] = 0xFF000000u;
    unsigned char* pixels = f.rle ? bmp_decode_rle(f, p + offset, size - offset)
                                  : bmp_decode_rows(f, p + offset, size - offset);
    if (!pixels) return 0;
    std::size_t n = std::size_t(f.width) * std::size_t(f.height);
    if (rgb32 && !bmp_any_alpha(pixels, n))
        for (std::size_t i = 0; i < n; i++) pixels[i * 4 + 3] = 255;
    out->width = f.width;
    out->height = f.height;
    out->depth = f.bpp;
    out->pixels = pixels;
    return 1;
}

// See header.
int image_decode_ico(const void* data, std::size_t size, Image* out) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (!p || size < 6 + 16) return 0;
    if (bmp_u16(p) != 0 || bmp_u16(p + 2) != 1 || bmp_u16(p + 4) == 0) return 0;
    // Only the first directory entry counts. Its one-byte sides cannot hold
    // sizes over 256, so the size comes from the image data itself.
    uint32_t bytes = bmp_u32(p + 6 + 8);
    uint32_t offset = bmp_u32(p + 6 + 12);
    if (offset > size || bytes > size - offset || bytes < 12) return 0;
    const unsigned char* img = p + offset;

    static const unsigned char png_sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (bytes >= 8 && std::memcmp(img, png_sig, 8) == 0) return image_decode_png(img, bytes, out);

    BmpFormat f;
    std::size_t after;
    if (!bmp_parse_info(img, bytes, true, &f, &after)) return 0;
    bool alpha32 = f.bpp == 32;
    if (alpha32) f.mask[3] = 0xFF000000u;
    unsigned char* pixels = bmp_decode_rows(f, img + after, bytes - after);
    if (!pixels) return 0;
    std::size_t n = std::size_t(f.width) * std::size_t(f.height);
    bool has_alpha = alpha32 && bmp_any_alpha(pixels, n);

    // The AND mask: one bit per pixel, set = transparent, rows bottom-up.
    unsigned long long xor_size = bmp_stride(f.width, f.bpp) * (unsigned long long)f.height;
    unsigned long long mask_stride = bmp_stride(f.width, 1);
    unsigned long long mask_at = after + xor_size;
    bool mask_present = mask_at + mask_stride * (unsigned long long)f.height <= bytes;
    if (!has_alpha) {
        if (!mask_present && !alpha32) {
            std::free(pixels);  // a low-depth icon without its mask is truncated
            return 0;
        }
        for (int y = 0; y < f.height; y++) {
            const unsigned char* row = mask_present ? img + mask_at + mask_stride * (unsigned long long)(f.height - 1 - y) : nullptr;
            for (int x = 0; x < f.width; x++) {
                bool clear = row && ((row[x / 8] >> (7 - x % 8)) & 1);
                pixels[(std::size_t(y) * std::size_t(f.width) + std::size_t(x)) * 4 + 3] = clear ? 0 : 255;
            }
        }
    }
    out->width = f.width;
    out->height = f.height;
    out->depth = f.bpp;
    out->pixels = pixels;
    return 1;
}

// See header.
int image_write_bmp(const Image* image, const char* path) {
    if (!image || !image->pixels || !path || !image_size_ok(image->width, image->height)) return 0;
    unsigned long long stride = bmp_stride(image->width, 24);
    unsigned long long body = stride * (unsigned long long)image->height;
    if (body + 54 > 0xFFFFFFFFull) return 0;
    unsigned char head[54] = {'B', 'M'};
    auto put32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; i++) head[at + i] = (unsigned char)(v >> (8 * i));
    };
    put32(2, uint32_t(body + 54));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(image->width));
    put32(22, uint32_t(image->height));  // positive: bottom-up
    head[26] = 1;                        // planes
    head[28] = 24;                       // bits per pixel
    put32(34, uint32_t(body));
    put32(38, 2835);  // 72 dpi
    put32(42, 2835);
    FILE* file = std::fopen(path, "wb");
    if (!file) return 0;
    bool ok = std::fwrite(head, 1, sizeof head, file) == sizeof head;
    unsigned char* row = static_cast<unsigned char*>(std::calloc(std::size_t(stride), 1));
    ok = ok && row;
    for (int y = image->height - 1; ok && y >= 0; y--) {
        const unsigned char* src = image->pixels + std::size_t(y) * std::size_t(image->width) * 4;
        for (int x = 0; x < image->width; x++) {
            row[x * 3 + 0] = src[x * 4 + 2];
            row[x * 3 + 1] = src[x * 4 + 1];
            row[x * 3 + 2] = src[x * 4 + 0];
        }
        ok = std::fwrite(row, 1, std::size_t(stride), file) == stride;
    }
    std::free(row);
    if (std::fclose(file) != 0) ok = false;
    return ok ? 1 : 0;
}
