// The picture service: the numbered image table, recognition of stored
// pictures (bitmap, icon, then the registered decoders in order), loading
// from files, smooth scaling and saving. Pixels are always 8-bit RGBA, top
// row first. The codecs live in image_bmp.cpp, image_png.cpp and
// image_jpeg.cpp; this file only dispatches to them.
//
// Index: limits and table - decoder registry - catch/load - scale - save.
#include "image_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

// ---- limits and table -------------------------------------------------------

// Numbers to pictures. std::map keeps each Image at a fixed address while it
// lives, so image_handle's pointer stays valid until that number changes.
std::map<int, Image>& image_table() {
    static std::map<int, Image> table;
    return table;
}

void image_put(int number, const Image& image) {
    image_free(number);
    image_table()[number] = image;
}

// ---- decoder registry ---------------------------------------------------------

using ImageDecoder = int (*)(const void*, std::size_t, Image*);
constexpr int IMAGE_MAX_DECODERS = 4;
ImageDecoder image_decoders[IMAGE_MAX_DECODERS];
int image_decoder_count;
bool image_jpeg_encoder;

// Files larger than this cannot hold a picture within the pixel limit that
// any of our formats would store (32-bit bitmap of 64 megapixels plus slack).
constexpr long IMAGE_MAX_FILE = 300L * 1024 * 1024;

}  // namespace

// See image_codec.h.
bool image_size_ok(long long width, long long height) {
    return width > 0 && height > 0 && width <= IMAGE_MAX_SIDE && height <= IMAGE_MAX_SIDE &&
           width * height <= IMAGE_MAX_PIXELS;
}

// See image_codec.h.
unsigned char* image_alloc_pixels(int width, int height) {
    if (!image_size_ok(width, height)) return nullptr;
    return static_cast<unsigned char*>(std::malloc(std::size_t(width) * std::size_t(height) * 4));
}

// See header.
void image_register_codecs() {
    image_decoder_count = 0;
    image_decoders[image_decoder_count++] = image_decode_jpeg;
    image_jpeg_encoder = true;
    image_decoders[image_decoder_count++] = image_decode_png;
}

// ---- catch / load -------------------------------------------------------------

// Decodes by the first bytes, then by each registered decoder in turn.
static bool image_decode_any(const void* data, std::size_t size, Image* image) {
    if (!data || size == 0) return false;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (size >= 2 && p[0] == 'B' && p[1] == 'M') return image_decode_bmp(data, size, image);
    if (size >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0) return image_decode_ico(data, size, image);
    for (int i = 0; i < image_decoder_count; i++)
        if (image_decoders[i](data, size, image)) return true;
    return false;
}

// See header.
int image_catch(int number, const void* data, std::size_t size) {
    image_free(number);  // a failed decode leaves the number empty, not stale
    Image image{};
    if (!image_decode_any(data, size, &image)) return 0;
    image_put(number, image);
    return 1;
}

// See header.
int image_make_preview(const char* path, const char* jpeg_path, int quality,
                       void (*fit)(int width, int height, int* fit_width, int* fit_height)) {
    std::vector<unsigned char> bytes;
    FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (!file) return 0;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size > 0 && size <= IMAGE_MAX_FILE && std::fseek(file, 0, SEEK_SET) == 0) {
        bytes.resize(static_cast<std::size_t>(size));
        if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
    }
    std::fclose(file);
    Image image{};
    if (bytes.empty() || !image_decode_any(bytes.data(), bytes.size(), &image)) return 0;
    int w = 0, h = 0;
    fit(image.width, image.height, &w, &h);
    Image scaled{};
    int ok = w > 0 && h > 0 && image_jpeg_encoder;
    if (ok && (w != image.width || h != image.height)) {
        ok = image_scale(&image, w, h, &scaled);
        if (ok) {
            std::free(image.pixels);
            image = scaled;
        }
    }
    ok = ok && image_write_jpeg(&image, jpeg_path, image_jpeg_quality(quality));
    std::free(image.pixels);
    return ok;
}

// See header.
int image_load(int number, const char* path) {
    image_free(number);
    if (!path) return 0;
    FILE* file = std::fopen(path, "rb");
    if (!file) return 0;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    int result = 0;
    if (size > 0 && size <= IMAGE_MAX_FILE && std::fseek(file, 0, SEEK_SET) == 0) {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
        if (std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size())
            result = image_catch(number, bytes.data(), bytes.size());
    }
    std::fclose(file);
    return result;
}

// See header.
int image_width(int number) {
    Image* image = image_handle(number);
    return image ? image->width : 0;
}

// See header.
int image_height(int number) {
    Image* image = image_handle(number);
    return image ? image->height : 0;
}

// See header.
Image* image_handle(int number) {
    auto it = image_table().find(number);
    return it == image_table().end() ? nullptr : &it->second;
}

// See header.
void image_free(int number) {
    auto it = image_table().find(number);
    if (it == image_table().end()) return;
    std::free(it->second.pixels);
    image_table().erase(it);
}

// See header.
void image_free_all() {
    for (auto& entry : image_table()) std::free(entry.second.pixels);
    image_table().clear();
}

// ---- scale ----------------------------------------------------------------------

namespace {

// The source pixels that make up one output pixel along one axis.
struct ImageTaps {
    std::vector<int> first;      // first source index per output index
    std::vector<int> count;      // number of source indices per output index
    std::vector<float> weight;   // weights, `max` per output index, summing to 1
    int max;                     // taps reserved per output index
};

// Shrinking averages the source span each output pixel covers (partial
// pixels weigh by their overlap); enlarging interpolates between the two
// nearest source pixel centres.
void image_make_taps(int src, int dst, ImageTaps* t) {
    double scale = double(src) / double(dst);
    t->max = dst < src ? int(std::ceil(scale)) + 2 : 2;
    t->first.assign(std::size_t(dst), 0);
    t->count.assign(std::size_t(dst), 0);
    t->weight.assign(std::size_t(dst) * std::size_t(t->max), 0.0f);
    for (int i = 0; i < dst; i++) {
        float* w = &t->weight[std::size_t(i) * std::size_t(t->max)];
        if (dst < src) {
            double lo = i * scale, hi = (i + 1) * scale;
            int a = int(std::floor(lo));
            int b = int(std::ceil(hi));
            if (b > src) b = src;
            if (b - a > t->max) b = a + t->max;
            double sum = 0;
            for (int s = a; s < b; s++) {
                double overlap = std::fmin(hi, s + 1.0) - std::fmax(lo, double(s));
                if (overlap < 0) overlap = 0;
                w[s - a] = float(overlap);
                sum += overlap;
            }
            for (int s = a; s < b; s++) w[s - a] = float(w[s - a] / sum);
            t->first[std::size_t(i)] = a;
            t->count[std::size_t(i)] = b - a;
        } else {
            double x = (i + 0.5) * scale - 0.5;
            if (x < 0) x = 0;
            int a = int(std::floor(x));
            if (a > src - 1) a = src - 1;
            double f = x - a;
            if (a + 1 >= src) {
                w[0] = 1.0f;
                t->count[std::size_t(i)] = 1;
            } else {
                w[0] = float(1.0 - f);
                w[1] = float(f);
                t->count[std::size_t(i)] = 2;
            }
            t->first[std::size_t(i)] = a;
        }
    }
}

unsigned char image_to_byte(float v) {
    if (v <= 0.0f) return 0;
    if (v >= 255.0f) return 255;
    return (unsigned char)(v + 0.5f);
}

}  // namespace

// See image_codec.h. Works one output row at a time: the source rows it draws on are blended
// into one premultiplied float row, which is then resampled across. Memory
// stays at one source row, whatever the sizes.
int image_scale(const Image* src, int width, int height, Image* out) {
    if (!src || !src->pixels || !image_size_ok(src->width, src->height) || !image_size_ok(width, height)) return 0;
    unsigned char* pixels = image_alloc_pixels(width, height);
    if (!pixels) return 0;
    ImageTaps tx, ty;
    image_make_taps(src->width, width, &tx);
    image_make_taps(src->height, height, &ty);
    std::vector<float> row(std::size_t(src->width) * 4);
    for (int y = 0; y < height; y++) {
        std::fill(row.begin(), row.end(), 0.0f);
        const float* wy = &ty.weight[std::size_t(y) * std::size_t(ty.max)];
        for (int k = 0; k < ty.count[std::size_t(y)]; k++) {
            const unsigned char* s = src->pixels + std::size_t(ty.first[std::size_t(y)] + k) * std::size_t(src->width) * 4;
            float w = wy[k];
            for (int x = 0; x < src->width; x++, s += 4) {
                float a = s[3] * w;
                float* r = &row[std::size_t(x) * 4];
                r[0] += s[0] * a;
                r[1] += s[1] * a;
                r[2] += s[2] * a;
                r[3] += a;
            }
        }
        unsigned char* d = pixels + std::size_t(y) * std::size_t(width) * 4;
        for (int x = 0; x < width; x++, d += 4) {
            const float* wx = &tx.weight[std::size_t(x) * std::size_t(tx.max)];
            float acc[4] = {0, 0, 0, 0};
            for (int k = 0; k < tx.count[std::size_t(x)]; k++) {
                const float* r = &row[std::size_t(tx.first[std::size_t(x)] + k) * 4];
                for (int c = 0; c < 4; c++) acc[c] += r[c] * wx[k];
            }
            // Colour was weighted by alpha so transparent pixels lend none.
            for (int c = 0; c < 3; c++) d[c] = acc[3] > 0.0f ? image_to_byte(acc[c] / acc[3]) : 0;
            d[3] = image_to_byte(acc[3]);
        }
    }
    out->width = width;
    out->height = height;
    out->depth = src->depth;
    out->pixels = pixels;
    return 1;
}

// See header.
int image_resize(int number, int width, int height) {
    Image* image = image_handle(number);
    if (!image) return 0;
    if (image->width == width && image->height == height) return 1;
    Image scaled{};
    if (!image_scale(image, width, height, &scaled)) return 0;
    std::free(image->pixels);
    *image = scaled;
    return 1;
}

// ---- save -------------------------------------------------------------------------

// See header.
int image_jpeg_quality(int quality) {
    if (quality < 0) quality = 0;
    if (quality > 10) quality = 10;
    return quality * 10;
}

// See header.
int image_save(int number, const char* path, uint32_t format, int quality) {
    Image* image = image_handle(number);
    if (!image || !path) return 0;
    if (format == IMAGE_BMP) return image_write_bmp(image, path);
    if (format == IMAGE_JPEG && image_jpeg_encoder) return image_write_jpeg(image, path, image_jpeg_quality(quality));
    return 0;
}
