// Decoding stored pictures: every supported format gives the right size and
// the right pixels, and everything broken, truncated or absurd is refused
// with 0 instead of crashing. Reference pixels for the PNG suite come from
// its published test patterns; the JPEG and bitmap fixtures are the same
// photograph as testorig.png, so they are compared against it.
#include "image.h"
#include "image_codec.h"
#include "media_util.h"

#include <zlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace {

struct Decoded {
    Image image{};
    int ok = 0;
    Decoded() = default;
    Decoded(const Decoded&) = delete;
    ~Decoded() { std::free(image.pixels); }
    const unsigned char* at(int x, int y) const { return image.pixels + (std::size_t(y) * image.width + x) * 4; }
};

using DecodeFn = int (*)(const void*, std::size_t, Image*);

void decode(DecodeFn fn, const Bytes& b, Decoded* d) { d->ok = fn(b.data(), b.size(), &d->image); }

// Decodes through the service itself (recognition by first bytes).
int catch_bytes(int number, const Bytes& b) { return image_catch(number, b.data(), b.size()); }

// Mean absolute difference per RGB channel between two same-size pictures.
double mean_diff(const Image& a, const Image& b, bool grey) {
    double sum = 0;
    std::size_t n = std::size_t(a.width) * a.height;
    for (std::size_t i = 0; i < n; i++) {
        const unsigned char* p = a.pixels + i * 4;
        const unsigned char* q = b.pixels + i * 4;
        if (grey) {
            double y = 0.2126 * q[0] + 0.7152 * q[1] + 0.0722 * q[2];
            sum += std::fabs(p[0] - y);
        } else {
            for (int c = 0; c < 3; c++) sum += std::abs(int(p[c]) - int(q[c])) / 3.0;
        }
    }
    return sum / double(n);
}

// A bitmap file around a raw block of stored rows.
Bytes make_bmp(int32_t width, int32_t height, int bpp, uint32_t compression, const std::vector<uint32_t>& palette,
               const std::vector<uint32_t>& masks, const Bytes& rows) {
    Bytes b;
    uint32_t offset = 14 + 40 + uint32_t(masks.size() + palette.size()) * 4;
    media_put_text(b, "BM");
    media_put32(b, offset + uint32_t(rows.size()));
    media_put32(b, 0);
    media_put32(b, offset);
    media_put32(b, 40);
    media_put32(b, uint32_t(width));
    media_put32(b, uint32_t(height));
    media_put16(b, 1);
    media_put16(b, uint32_t(bpp));
    media_put32(b, compression);
    media_put32(b, uint32_t(rows.size()));
    media_put32(b, 2835);
    media_put32(b, 2835);
    media_put32(b, uint32_t(palette.size()));
    media_put32(b, 0);
    for (uint32_t m : masks) media_put32(b, m);
    for (uint32_t c : palette) media_put32(b, c);
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

// An icon file with one directory entry around `image` (a DIB or a PNG).
Bytes make_ico(int dir_w, int dir_h, const Bytes& image) {
    Bytes b;
    media_put16(b, 0);
    media_put16(b, 1);
    media_put16(b, 1);
    b.push_back(uint8_t(dir_w));
    b.push_back(uint8_t(dir_h));
    b.push_back(0);
    b.push_back(0);
    media_put16(b, 1);
    media_put16(b, 32);
    media_put32(b, uint32_t(image.size()));
    media_put32(b, 22);
    b.insert(b.end(), image.begin(), image.end());
    return b;
}

// The DIB part of an icon: header with doubled height, colour rows, AND mask.
Bytes make_icon_dib(int w, int h, int bpp, const std::vector<uint32_t>& palette, const Bytes& colour, const Bytes& mask) {
    Bytes b;
    media_put32(b, 40);
    media_put32(b, uint32_t(w));
    media_put32(b, uint32_t(h * 2));
    media_put16(b, 1);
    media_put16(b, uint32_t(bpp));
    media_put32(b, 0);
    media_put32(b, uint32_t(colour.size() + mask.size()));
    media_put32(b, 0);
    media_put32(b, 0);
    media_put32(b, uint32_t(palette.size()));
    media_put32(b, 0);
    for (uint32_t c : palette) media_put32(b, c);
    b.insert(b.end(), colour.begin(), colour.end());
    b.insert(b.end(), mask.begin(), mask.end());
    return b;
}

// A PNG consisting of a signature and a valid IHDR claiming w x h, then an
// empty IDAT and IEND; the size check must come before any pixel reading.
Bytes make_png_header(uint32_t w, uint32_t h) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto chunk = [&](const char* type, const Bytes& body) {
        for (int i = 3; i >= 0; i--) b.push_back(uint8_t(body.size() >> (8 * i)));
        std::size_t start = b.size();
        media_put_text(b, type);
        b.insert(b.end(), body.begin(), body.end());
        uLong crc = crc32(0, b.data() + start, uInt(b.size() - start));
        for (int i = 3; i >= 0; i--) b.push_back(uint8_t(crc >> (8 * i)));
    };
    Bytes ihdr;
    for (uint32_t v : {w, h})
        for (int i = 3; i >= 0; i--) ihdr.push_back(uint8_t(v >> (8 * i)));
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    chunk("IHDR", ihdr);
    chunk("IDAT", {});
    chunk("IEND", {});
    return b;
}

struct PngCase {
    const char* file;
    int width, height, depth;
    struct {
        int x, y;
        unsigned char rgba[4];
    } spots[3];
};

}  // namespace

TEST(ImageDecode, PngSuiteEveryColourTypeAndDepth) {
    const PngCase cases[] = {
        {"basn0g01.png", 32, 32, 1, {{0, 0, {255, 255, 255, 255}}, {31, 31, {0, 0, 0, 255}}, {5, 17, {255, 255, 255, 255}}}},
        {"basn0g02.png", 32, 32, 2, {{0, 0, {0, 0, 0, 255}}, {31, 31, {170, 170, 170, 255}}, {5, 17, {85, 85, 85, 255}}}},
        {"basn0g04.png", 32, 32, 4, {{0, 0, {0, 0, 0, 255}}, {31, 31, {238, 238, 238, 255}}, {16, 10, {102, 102, 102, 255}}}},
        {"basn0g08.png", 32, 32, 8, {{16, 10, {174, 174, 174, 255}}, {31, 31, {3, 3, 3, 255}}, {5, 17, {39, 39, 39, 255}}}},
        {"basn0g16.png", 32, 32, 16, {{16, 10, {163, 163, 163, 255}}, {31, 31, {1, 1, 1, 255}}, {5, 17, {79, 79, 79, 255}}}},
        {"basn2c08.png", 32, 32, 24, {{0, 0, {255, 255, 255, 255}}, {16, 10, {255, 175, 255, 255}}, {5, 17, {218, 255, 255, 255}}}},
        {"basn2c16.png", 32, 32, 48, {{0, 0, {255, 255, 0, 255}}, {16, 10, {123, 173, 0, 255}}, {5, 17, {214, 115, 0, 255}}}},
        {"basn3p01.png", 32, 32, 1, {{0, 0, {238, 255, 34, 255}}, {16, 10, {238, 255, 34, 255}}, {5, 17, {34, 102, 255, 255}}}},
        {"basn3p02.png", 32, 32, 2, {{0, 0, {0, 0, 255, 255}}, {16, 10, {255, 255, 0, 255}}, {5, 17, {255, 0, 0, 255}}}},
        {"basn3p04.png", 32, 32, 4, {{0, 0, {255, 0, 0, 255}}, {31, 31, {255, 0, 187, 255}}, {5, 17, {34, 255, 0, 255}}}},
        {"basn3p08.png", 32, 32, 8, {{0, 0, {1, 0, 0, 255}}, {16, 10, {0, 170, 0, 255}}, {5, 17, {255, 139, 17, 255}}}},
        {"basn4a08.png", 32, 32, 16, {{0, 0, {255, 255, 255, 0}}, {16, 10, {172, 172, 172, 131}}, {5, 17, {115, 115, 115, 41}}}},
        {"basn4a16.png", 32, 32, 32, {{0, 0, {0, 0, 0, 0}}, {16, 10, {232, 232, 232, 165}}, {5, 17, {219, 219, 219, 82}}}},
        {"basn6a08.png", 32, 32, 32, {{0, 0, {255, 0, 8, 0}}, {16, 10, {192, 255, 6, 131}}, {5, 17, {4, 255, 31, 41}}}},
        {"basn6a16.png", 32, 32, 64, {{31, 31, {0, 0, 255, 0}}, {16, 10, {116, 255, 0, 165}}, {5, 17, {255, 109, 0, 82}}}},
        // tRNS: one grey level, one RGB triple, and palette entries made transparent.
        {"ftbwn0g16.png", 32, 32, 16, {{0, 0, {255, 255, 255, 0}}, {16, 10, {123, 123, 123, 255}}, {5, 17, {104, 104, 104, 255}}}},
        {"ftbrn2c08.png", 32, 32, 24, {{0, 0, {255, 255, 255, 0}}, {16, 10, {123, 123, 123, 255}}, {5, 17, {0, 177, 0, 255}}}},
        {"ftbbn3p08.png", 32, 32, 8, {{0, 0, {255, 255, 255, 0}}, {16, 10, {123, 123, 123, 255}}, {5, 17, {0, 177, 0, 255}}}},
    };
    for (const PngCase& c : cases) {
        SCOPED_TRACE(c.file);
        Decoded d;
        decode(image_decode_png, media_fixture_bytes(std::string("pictures/pngsuite/") + c.file), &d);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.image.width, c.width);
        EXPECT_EQ(d.image.height, c.height);
        EXPECT_EQ(d.image.depth, c.depth);
        for (const auto& s : c.spots) {
            const unsigned char* p = d.at(s.x, s.y);
            for (int k = 0; k < 4; k++) EXPECT_NEAR(p[k], s.rgba[k], 1) << "pixel " << s.x << "," << s.y << " channel " << k;
        }
    }
}

TEST(ImageDecode, InterlacedPngEqualsItsPlainTwin) {
    int pairs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(media_fixture("pictures/pngsuite"))) {
        std::string name = entry.path().filename().string();
        if (name[0] != 'i' || entry.path().extension() != ".png") continue;
        SCOPED_TRACE(name);
        Decoded a, b;
        decode(image_decode_png, media_read(entry.path().string()), &a);
        decode(image_decode_png, media_fixture_bytes("pictures/pngsuite/" + name.substr(1)), &b);
        ASSERT_TRUE(a.ok && b.ok);
        ASSERT_EQ(a.image.width, b.image.width);
        ASSERT_EQ(a.image.height, b.image.height);
        EXPECT_EQ(0, std::memcmp(a.image.pixels, b.image.pixels, std::size_t(a.image.width) * a.image.height * 4));
        pairs++;
    }
    EXPECT_GE(pairs, 20);
}

TEST(ImageDecode, PngCrashersNeverCrash) {
    // Critical-chunk damage must be refused; the rest may decode if sane.
    const char* must_fail[] = {"badcrc.png", "badadler.png"};
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(media_fixture("pictures/png-crashers"))) {
        std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        Decoded d;
        decode(image_decode_png, media_read(entry.path().string()), &d);
        if (d.ok) {
            EXPECT_TRUE(image_size_ok(d.image.width, d.image.height));
            EXPECT_NE(d.image.pixels, nullptr);
        }
        bool fail = name.rfind("huge_", 0) == 0;  // a chunk claiming more bytes than the file has
        for (const char* f : must_fail) fail = fail || name == f;
        if (fail) {
            EXPECT_FALSE(d.ok);
        }
        files++;
    }
    EXPECT_GE(files, 20);
}

TEST(ImageDecode, JpegSetMatchesTheOriginalPhotograph) {
    // testorig.png is the photograph in grey; truecolor24.bmp in colour.
    Decoded grey, colour;
    decode(image_decode_png, media_fixture_bytes("pictures/testorig.png"), &grey);
    decode(image_decode_bmp, media_fixture_bytes("pictures/bmp/truecolor24.bmp"), &colour);
    ASSERT_TRUE(grey.ok && colour.ok);
    ASSERT_EQ(grey.image.width, 227);
    ASSERT_EQ(grey.image.height, 149);
    struct {
        const char* file;
        int depth;
        double max_diff;
    } cases[] = {
        {"testorig.jpg", 24, 4}, {"testimgint.jpg", 24, 4}, {"testimgari.jpg", 24, 4},
        {"progressive.jpg", 24, 4}, {"gray.jpg", 8, 4}, {"cmyk.jpg", 32, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Decoded d;
        decode(image_decode_jpeg, media_fixture_bytes(std::string("pictures/jpeg/") + c.file), &d);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.image.width, 227);
        ASSERT_EQ(d.image.height, 149);
        EXPECT_EQ(d.image.depth, c.depth);
        EXPECT_EQ(d.at(100, 100)[3], 255);
        EXPECT_LT(mean_diff(grey.image, d.image, true), c.max_diff);
        if (c.depth == 8) {
            EXPECT_TRUE(d.at(50, 60)[0] == d.at(50, 60)[1] && d.at(50, 60)[1] == d.at(50, 60)[2]);
        } else {
            EXPECT_LT(mean_diff(colour.image, d.image, false), c.max_diff);
        }
    }
}

TEST(ImageDecode, JpegRefusesTwelveBitAndTruncated) {
    for (const char* f : {"monkey12.jpg", "truncated.jpg"}) {
        SCOPED_TRACE(f);
        Decoded d;
        decode(image_decode_jpeg, media_fixture_bytes(std::string("pictures/jpeg/") + f), &d);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(catch_bytes(50, media_fixture_bytes(std::string("pictures/jpeg/") + f)), 0);
        EXPECT_EQ(image_handle(50), nullptr);
    }
}

TEST(ImageDecode, BitmapFixtures) {
    Decoded ref;
    decode(image_decode_png, media_fixture_bytes("pictures/testorig.png"), &ref);
    ASSERT_TRUE(ref.ok);
    struct {
        const char* file;
        int width, height, depth;
        bool same_as_ref;
    } cases[] = {
        // The photograph; testorig.png holds it in grey.
        {"truecolor24.bmp", 227, 149, 24, true}, {"bgra32.bmp", 227, 149, 32, true},
        {"gray-300x200.bmp", 300, 200, 24, false}, {"shira_bird8.bmp", 192, 144, 24, false},
        {"vgl_6434_0018a.bmp", 119, 96, 24, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Decoded d;
        decode(image_decode_bmp, media_fixture_bytes(std::string("pictures/bmp/") + c.file), &d);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.image.width, c.width);
        EXPECT_EQ(d.image.height, c.height);
        EXPECT_EQ(d.image.depth, c.depth);
        if (c.same_as_ref) {
            EXPECT_LT(mean_diff(ref.image, d.image, true), 1.0);
        }
    }
}

TEST(ImageDecode, CraftedBitmapLayouts) {
    // 2 x 2 pictures: top-left red, top-right green, bottom-left blue,
    // bottom-right white. Stored rows are bottom-up unless height < 0.
    const unsigned char want[4][4] = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 255}};
    const std::vector<uint32_t> pal = {0x00FF0000, 0x0000FF00, 0x000000FF, 0x00FFFFFF};  // red, green, blue, white
    struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"8-bit bottom-up", make_bmp(2, 2, 8, 0, pal, {}, {2, 3, 0, 0, 0, 1, 0, 0})},
        {"8-bit top-down", make_bmp(2, -2, 8, 0, pal, {}, {0, 1, 0, 0, 2, 3, 0, 0})},
        {"4-bit", make_bmp(2, 2, 4, 0, pal, {}, {0x23, 0, 0, 0, 0x01, 0, 0, 0})},
        {"1-bit", make_bmp(2, 2, 1, 0, {0x000000FF, 0x00FFFFFF}, {}, {0x00, 0, 0, 0, 0x40, 0, 0, 0})},
        {"24-bit", make_bmp(2, 2, 24, 0, {}, {}, {255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0})},
        {"32-bit bitfields", make_bmp(2, 2, 32, 3, {}, {0xFF0000, 0xFF00, 0xFF},
                                      {255, 0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 0, 0, 255, 0, 0})},
        {"16-bit 565", make_bmp(2, 2, 16, 3, {}, {0xF800, 0x07E0, 0x001F}, {0x1F, 0x00, 0xFF, 0xFF, 0x00, 0xF8, 0xE0, 0x07})},
        {"16-bit 555", make_bmp(2, 2, 16, 0, {}, {}, {0x1F, 0x00, 0xFF, 0x7F, 0x00, 0x7C, 0xE0, 0x03})},
        {"RLE8 runs", make_bmp(2, 2, 8, 1, pal, {}, {1, 2, 1, 3, 0, 0, 1, 0, 1, 1, 0, 1})},
        {"RLE4 runs", make_bmp(2, 2, 4, 2, pal, {}, {2, 0x23, 0, 0, 2, 0x01, 0, 1})},
        // A delta skips the top row's first pixel, which takes entry 0 (red).
        {"RLE8 delta", make_bmp(2, 2, 8, 1, pal, {}, {1, 2, 1, 3, 0, 0, 0, 2, 1, 0, 1, 1, 0, 1})},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        decode(image_decode_bmp, c.file, &d);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.image.width, 2);
        ASSERT_EQ(d.image.height, 2);
        if (std::string(c.name) == "1-bit") {
            // Two colours only: bit 1 = white at top-right, the rest blue.
            EXPECT_EQ(0, std::memcmp(d.at(1, 0), want[3], 4));
            EXPECT_EQ(0, std::memcmp(d.at(0, 0), want[2], 4));
            continue;
        }
        for (int i = 0; i < 4; i++) EXPECT_EQ(0, std::memcmp(d.at(i % 2, i / 2), want[i], 4)) << "pixel " << i;
    }
}

TEST(ImageDecode, RunLengthAbsoluteBlocks) {
    // Absolute blocks of three pixels: 8-bit padded to 16 bits, 4-bit packed
    // two to a byte; both rows read blue, white, green.
    const std::vector<uint32_t> pal = {0x00FF0000, 0x0000FF00, 0x000000FF, 0x00FFFFFF};
    const unsigned char want[3][4] = {{0, 0, 255, 255}, {255, 255, 255, 255}, {0, 255, 0, 255}};
    for (const Bytes& file : {make_bmp(3, 1, 8, 1, pal, {}, {0, 3, 2, 3, 1, 0, 0, 1}),
                              make_bmp(3, 1, 4, 2, pal, {}, {0, 3, 0x23, 0x10, 0, 1})}) {
        Decoded d;
        decode(image_decode_bmp, file, &d);
        ASSERT_TRUE(d.ok);
        for (int x = 0; x < 3; x++) EXPECT_EQ(0, std::memcmp(d.at(x, 0), want[x], 4)) << "pixel " << x;
    }
}

TEST(ImageDecode, BitmapRefusals) {
    const std::vector<uint32_t> pal = {0, 0xFFFFFF};
    struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"RLE8 run past its row", make_bmp(2, 2, 8, 1, pal, {}, {3, 1, 0, 1})},
        {"RLE4 absolute past the data", make_bmp(2, 2, 4, 2, pal, {}, {0, 4, 0x01})},
        {"RLE8 delta past the row", make_bmp(2, 2, 8, 1, pal, {}, {0, 2, 3, 0})},
        {"RLE8 top-down", make_bmp(2, -2, 8, 1, pal, {}, {0, 1})},
        {"RLE8 huge picture, tiny data", make_bmp(16384, 4096, 8, 1, pal, {}, {0, 1})},
        {"embedded JPEG", make_bmp(2, 2, 24, 4, {}, {}, Bytes(16, 0))},
        {"2-bit", make_bmp(2, 2, 2, 0, pal, {}, Bytes(8, 0))},
        {"zero width", make_bmp(0, 2, 24, 0, {}, {}, Bytes(16, 0))},
        {"zero height", make_bmp(2, 0, 24, 0, {}, {}, Bytes(16, 0))},
        {"rows missing", make_bmp(2, 2, 24, 0, {}, {}, Bytes(10, 0))},
        {"broken mask", make_bmp(2, 2, 32, 3, {}, {0xF0F000, 0xFF00, 0xFF}, Bytes(16, 0))},
        {"absurd 100000 x 100000", make_bmp(100000, 100000, 24, 0, {}, {}, Bytes(16, 0))},
        {"16384 x 4097 (too many pixels)", make_bmp(16384, 4097, 1, 0, pal, {}, Bytes(16, 0))},
        {"most negative height", make_bmp(2, INT32_MIN, 24, 0, {}, {}, Bytes(16, 0))},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        decode(image_decode_bmp, c.file, &d);
        EXPECT_FALSE(d.ok);
    }
    // A pixel-data offset beyond the file.
    Bytes b = make_bmp(2, 2, 24, 0, {}, {}, Bytes(16, 0));
    b[10] = 0xF0;
    b[11] = 0xFF;
    Decoded d;
    decode(image_decode_bmp, b, &d);
    EXPECT_FALSE(d.ok);
}

TEST(ImageDecode, IconFixtures) {
    struct {
        const char* file;
        int width, height;
    } cases[] = {{"orange-48.ico", 48, 48}, {"blue-16x18.ico", 16, 18}, {"three-sizes.ico", 48, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Decoded d;
        decode(image_decode_ico, media_fixture_bytes(std::string("pictures/ico/") + c.file), &d);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.image.width, c.width);
        EXPECT_EQ(d.image.height, c.height);
        EXPECT_EQ(d.image.depth, 32);
        const unsigned char* mid = d.at(c.width / 2, c.height / 2);
        EXPECT_EQ(mid[3], 255);
    }
    Decoded orange;
    decode(image_decode_ico, media_fixture_bytes("pictures/ico/orange-48.ico"), &orange);
    ASSERT_TRUE(orange.ok);
    const unsigned char* p = orange.at(24, 24);
    EXPECT_GT(p[0], 200);  // orange: much red, some green, little blue
    EXPECT_GT(p[1], 80);
    EXPECT_LT(p[2], 80);
    for (const char* f : {"empty.ico", "truncated.ico"}) {
        SCOPED_TRACE(f);
        Bytes b = media_read(media_fixture(std::string("pictures/ico/") + f));
        Decoded d;
        decode(image_decode_ico, b, &d);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(image_catch(51, b.data(), b.size()), 0);
    }
}

TEST(ImageDecode, IconSizeComesFromItsBitmapNotTheDirectory) {
    // A 410 x 70 banner: the directory can only say 410 & 255 = 154.
    const int w = 410, h = 70;
    Bytes colour;
    for (int y = 0; y < h; y++)  // bottom-up: first stored row is the bottom
        for (int x = 0; x < w; x++) {
            int top_y = h - 1 - y;
            colour.insert(colour.end(), {uint8_t(x % 256), uint8_t(top_y), 200, uint8_t(x < 10 ? 0 : 255)});
        }
    Bytes mask(std::size_t((w + 31) / 32 * 4) * h, 0);
    Bytes ico = make_ico(w & 255, h, make_icon_dib(w, h, 32, {}, colour, mask));
    ASSERT_TRUE(catch_bytes(0, ico));
    EXPECT_EQ(image_width(0), 410);
    EXPECT_EQ(image_height(0), 70);
    const Image* img = image_handle(0);
    ASSERT_NE(img, nullptr);
    const unsigned char* p = img->pixels + (std::size_t(3) * w + 300) * 4;  // row 3 from the top
    EXPECT_EQ(p[0], 200);
    EXPECT_EQ(p[1], 3);
    EXPECT_EQ(p[2], 300 % 256);
    EXPECT_EQ(p[3], 255);
    EXPECT_EQ(img->pixels[3], 0);  // x < 10 is transparent through alpha
    image_free(0);
    EXPECT_EQ(image_handle(0), nullptr);
}

TEST(ImageDecode, LowDepthIconUsesItsAndMask) {
    // 4-bit 8 x 2 icon: palette 0 black, 1 red; AND mask clears the left half.
    std::vector<uint32_t> pal = {0x000000, 0xFF0000};
    Bytes colour = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};  // 2 rows of 4 bytes, all index 1
    Bytes mask = {0xF0, 0, 0, 0, 0xF0, 0, 0, 0};
    Decoded d;
    decode(image_decode_ico, make_ico(8, 2, make_icon_dib(8, 2, 4, pal, colour, mask)), &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.image.width, 8);
    EXPECT_EQ(d.image.height, 2);
    EXPECT_EQ(d.image.depth, 4);
    const unsigned char red[4] = {255, 0, 0, 255};
    EXPECT_EQ(d.at(0, 0)[3], 0);
    EXPECT_EQ(d.at(3, 1)[3], 0);
    EXPECT_EQ(0, std::memcmp(d.at(4, 0), red, 4));
    EXPECT_EQ(0, std::memcmp(d.at(7, 1), red, 4));
    // Without its mask the icon is incomplete.
    Decoded cut;
    decode(image_decode_ico, make_ico(8, 2, make_icon_dib(8, 2, 4, pal, colour, {})), &cut);
    EXPECT_FALSE(cut.ok);
}

TEST(ImageDecode, PngCompressedIconEntry) {
    Bytes png = media_fixture_bytes("pictures/pngsuite/basn6a08.png");
    Decoded d;
    decode(image_decode_ico, make_ico(32, 32, png), &d);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.image.width, 32);
    const unsigned char want[4] = {192, 255, 6, 131};
    EXPECT_EQ(0, std::memcmp(d.at(16, 10), want, 4));
}

TEST(ImageDecode, AbsurdSizesRefusedBeforeAllocation) {
    // Icon DIB claiming 100000 x 100000 (height field doubled).
    Bytes dib;
    media_put32(dib, 40);
    media_put32(dib, 100000);
    media_put32(dib, 200000);
    media_put16(dib, 1);
    media_put16(dib, 32);
    dib.resize(40 + 64, 0);
    // JPEG whose frame header claims 60000 x 60000 (the format's field is 16-bit).
    Bytes jpeg = media_fixture_bytes("pictures/jpeg/testorig.jpg");
    bool patched = false;
    for (std::size_t i = 2; i + 9 < jpeg.size() && !patched; i++)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = 0xEA, jpeg[i + 6] = 0x60, jpeg[i + 7] = 0xEA, jpeg[i + 8] = 0x60;
            patched = true;
        }
    ASSERT_TRUE(patched);
    struct {
        const char* name;
        DecodeFn fn;
        Bytes file;
    } cases[] = {
        {"png 100000 x 100000", image_decode_png, make_png_header(100000, 100000)},
        {"png 16385 x 1", image_decode_png, make_png_header(16385, 1)},
        {"png 8192 x 8193", image_decode_png, make_png_header(8192, 8193)},
        {"bmp 100000 x 100000", image_decode_bmp, make_bmp(100000, 100000, 32, 0, {}, {}, Bytes(64, 0))},
        {"ico 100000 x 100000", image_decode_ico, make_ico(0, 0, dib)},
        {"jpeg 60000 x 60000", image_decode_jpeg, jpeg},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        decode(c.fn, c.file, &d);
        EXPECT_FALSE(d.ok);
    }
    // The limits themselves: exactly at them is allowed.
    EXPECT_TRUE(image_size_ok(16384, 4096));
    EXPECT_FALSE(image_size_ok(16384, 4097));
    EXPECT_FALSE(image_size_ok(16385, 1));
    EXPECT_FALSE(image_size_ok(0, 10));
}

TEST(ImageDecode, TruncatedFixturesAreRefusedEverywhere) {
    // Cut every picture inside its header, inside its pixel data and just
    // before its end (past a bitmap's last row padding); none of these may decode, let alone crash.
    image_register_codecs();
    int cuts = 0;
    for (const char* sub : {"pictures/bmp", "pictures/ico", "pictures/jpeg", "pictures/pngsuite"}) {
        for (const auto& entry : std::filesystem::directory_iterator(media_fixture(sub))) {
            Bytes whole = media_read(entry.path().string());
            std::string name = entry.path().filename().string();
            if (whole.size() < 64 || name == "README" || name == "monkey12.jpg") continue;
            // What must be present: a PNG's final IEND chunk (12 bytes) carries
            // no pixels, and an icon file's entries after the first are unused.
            std::size_t end = whole.size();
            if (entry.path().extension() == ".png") end -= 12;
            if (entry.path().extension() == ".ico")
                end = std::size_t(whole[18] | whole[19] << 8 | whole[20] << 16) + (whole[14] | whole[15] << 8 | whole[16] << 16);
            end = std::min(end, whole.size());
            for (std::size_t cut : {std::size_t(1), std::size_t(10), std::size_t(30), whole.size() / 3, whole.size() / 2,
                                    end - end / 5, end - 4}) {
                SCOPED_TRACE(name + " cut at " + std::to_string(cut));
                Bytes part(whole.begin(), whole.begin() + long(cut));
                EXPECT_EQ(catch_bytes(52, part), 0);
                EXPECT_EQ(image_handle(52), nullptr);
                cuts++;
            }
        }
    }
    EXPECT_GT(cuts, 300);
}

TEST(ImageDecode, CatchRecognisesEachFormatAndReplacesTheNumber) {
    image_register_codecs();
    EXPECT_TRUE(catch_bytes(60, media_fixture_bytes("pictures/bmp/truecolor24.bmp")));
    Image* first = image_handle(60);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(image_width(60), 227);
    EXPECT_TRUE(catch_bytes(60, media_fixture_bytes("pictures/ico/blue-16x18.ico")));
    EXPECT_EQ(image_width(60), 16);
    EXPECT_EQ(image_height(60), 18);
    EXPECT_TRUE(catch_bytes(60, media_fixture_bytes("pictures/jpeg/small-100x50.jpg")));
    EXPECT_EQ(image_width(60), 100);
    EXPECT_TRUE(catch_bytes(60, media_fixture_bytes("pictures/pngsuite/basn2c08.png")));
    EXPECT_EQ(image_width(60), 32);
    // Not a picture: the number ends up empty rather than keeping the old one.
    Bytes junk = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
    EXPECT_EQ(catch_bytes(60, junk), 0);
    EXPECT_EQ(image_handle(60), nullptr);
    EXPECT_EQ(image_width(60), 0);
    EXPECT_EQ(image_height(60), 0);
    EXPECT_EQ(image_load(60, media_fixture("pictures/no-such-file.png").c_str()), 0);
    EXPECT_TRUE(image_load(61, media_fixture("pictures/testorig.png").c_str()));
    EXPECT_EQ(image_width(61), 227);
    image_free_all();
    EXPECT_EQ(image_handle(61), nullptr);
}
