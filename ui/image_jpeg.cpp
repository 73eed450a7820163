// The JPEG decoder and encoder over libjpeg (8-bit samples only). Errors
// jump back through our error manager instead of ending the program;
// warnings (corrupt but decodable data) are counted and ignored. Our own
// source manager fails at the end of the data instead of inventing an end
// marker, so a truncated file is refused rather than shown half grey. The
// size is checked after the header and before any pixel buffer exists, and
// progressive files are limited in their number of scans, since each scan
// repeats the work over the whole picture.
#include "image_codec.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace {

constexpr int JPEG_MAX_SCANS = 500;
constexpr long JPEG_MAX_MEMORY = 768L * 1024 * 1024;

// Everything that must survive a longjmp lives here, not in locals.
struct JpegError {
    jpeg_error_mgr mgr;          // libjpeg's part; must come first
    jmp_buf jump;                // where error_exit lands
    unsigned char* pixels;       // decoder output, freed on failure
    FILE* file;                  // encoder output, closed on failure
    unsigned char* row;          // encoder row buffer
};

void jpeg_on_error(j_common_ptr cinfo) {
    JpegError* e = reinterpret_cast<JpegError*>(cinfo->err);
    longjmp(e->jump, 1);
}

// Warnings and trace messages: libjpeg would print them to stderr.
void jpeg_on_message(j_common_ptr cinfo, int level) {
    if (level < 0) cinfo->err->num_warnings++;
}

void jpeg_src_init(j_decompress_ptr) {}
void jpeg_src_term(j_decompress_ptr) {}

// All data was handed over at once; asking for more means the file ended early.
boolean jpeg_src_fill(j_decompress_ptr cinfo) {
    ERREXIT(cinfo, JERR_INPUT_EOF);
    return FALSE;
}

void jpeg_src_skip(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    jpeg_source_mgr* src = cinfo->src;
    if (std::size_t(count) > src->bytes_in_buffer) ERREXIT(cinfo, JERR_INPUT_EOF);
    src->next_input_byte += count;
    src->bytes_in_buffer -= std::size_t(count);
}

void jpeg_on_progress(j_common_ptr cinfo) {
    j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (cinfo->is_decompressor && d->input_scan_number > JPEG_MAX_SCANS) ERREXIT(cinfo, JERR_NOT_COMPILED);
}

void jpeg_errors_init(JpegError* e, j_common_ptr cinfo) {
    std::memset(e, 0, sizeof *e);
    cinfo->err = jpeg_std_error(&e->mgr);
    e->mgr.error_exit = jpeg_on_error;
    e->mgr.emit_message = jpeg_on_message;
}

}  // namespace

// See header.
int image_decode_jpeg(const void* data, std::size_t size, Image* out) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (!p || size < 4 || p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) return 0;
    jpeg_decompress_struct cinfo;
    JpegError err;
    jpeg_errors_init(&err, reinterpret_cast<j_common_ptr>(&cinfo));
    jpeg_source_mgr src;
    jpeg_progress_mgr progress;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        std::free(err.pixels);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = JPEG_MAX_MEMORY;
    std::memset(&src, 0, sizeof src);
    src.init_source = jpeg_src_init;
    src.fill_input_buffer = jpeg_src_fill;
    src.skip_input_data = jpeg_src_skip;
    src.resync_to_restart = jpeg_resync_to_restart;
    src.term_source = jpeg_src_term;
    src.next_input_byte = p;
    src.bytes_in_buffer = size;
    cinfo.src = &src;
    std::memset(&progress, 0, sizeof progress);
    progress.progress_monitor = jpeg_on_progress;
    cinfo.progress = &progress;

    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.data_precision != 8 || !image_size_ok(cinfo.image_width, cinfo.image_height))
        ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);
    switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE: cinfo.out_color_space = JCS_GRAYSCALE; break;
    case JCS_YCbCr: case JCS_RGB: cinfo.out_color_space = JCS_RGB; break;
    case JCS_CMYK: case JCS_YCCK: cinfo.out_color_space = JCS_CMYK; break;
    default: ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
    }
    int depth = 8 * cinfo.num_components;
    jpeg_start_decompress(&cinfo);
    int w = int(cinfo.output_width), h = int(cinfo.output_height), n = cinfo.output_components;
    if (!image_size_ok(w, h)) ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);
    err.pixels = image_alloc_pixels(w, h);
    if (!err.pixels) ERREXIT1(&cinfo, JERR_OUT_OF_MEMORY, 0);
    JSAMPARRAY line = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                 JDIMENSION(w * n), 1);
    // Adobe's CMYK files store the inks inverted (255 = no ink).
    bool inverted = cinfo.saw_Adobe_marker;
    while (cinfo.output_scanline < cinfo.output_height) {
        int y = int(cinfo.output_scanline);
        if (jpeg_read_scanlines(&cinfo, line, 1) != 1) ERREXIT(&cinfo, JERR_INPUT_EOF);
        const JSAMPLE* s = line[0];
        unsigned char* d = err.pixels + std::size_t(y) * std::size_t(w) * 4;
        for (int x = 0; x < w; x++, d += 4, s += n) {
            if (n == 1) {
                d[0] = d[1] = d[2] = s[0];
            } else if (n == 3) {
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
            } else {
                int k = inverted ? s[3] : 255 - s[3];
                for (int c = 0; c < 3; c++) {
                    int ink = inverted ? s[c] : 255 - s[c];
                    d[c] = (unsigned char)((ink * k + 127) / 255);
                }
            }
            d[3] = 255;
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    out->width = w;
    out->height = h;
    out->depth = depth;
    out->pixels = err.pixels;
    return 1;
}

// See header.
int image_write_jpeg(const Image* image, const char* path, int quality) {
    if (!image || !image->pixels || !path || !image_size_ok(image->width, image->height)) return 0;
    jpeg_compress_struct cinfo;
    JpegError err;
    jpeg_errors_init(&err, reinterpret_cast<j_common_ptr>(&cinfo));
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        if (err.file) std::fclose(err.file);
        std::free(err.row);
        return 0;
    }
    jpeg_create_compress(&cinfo);
    err.file = std::fopen(path, "wb");
    err.row = static_cast<unsigned char*>(std::malloc(std::size_t(image->width) * 3));
    if (!err.file || !err.row) ERREXIT(&cinfo, JERR_FILE_WRITE);
    jpeg_stdio_dest(&cinfo, err.file);
    cinfo.image_width = JDIMENSION(image->width);
    cinfo.image_height = JDIMENSION(image->height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality < 0 ? 0 : quality > 100 ? 100 : quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW rows[1] = {err.row};
    while (cinfo.next_scanline < cinfo.image_height) {
        const unsigned char* s = image->pixels + std::size_t(cinfo.next_scanline) * std::size_t(image->width) * 4;
        for (int x = 0; x < image->width; x++) {
            err.row[x * 3 + 0] = s[x * 4 + 0];
            err.row[x * 3 + 1] = s[x * 4 + 1];
            err.row[x * 3 + 2] = s[x * 4 + 2];
        }
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::free(err.row);
    bool ok = !std::ferror(err.file);
    if (std::fclose(err.file) != 0) ok = false;
    return ok ? 1 : 0;
}
