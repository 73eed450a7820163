// The picture service's scaling and saving: the preview-size rule applied to
// real photographs, smoothness and colour fidelity of the scaler (including
// transparent pixels), the JPEG quality clamp, and bitmap round trips.
#include "image.h"
#include "image_codec.h"
#include "media_util.h"

#include <cstring>

namespace {

// A picture built in memory and caught under `number` through a 32-bit
// top-down bitmap, so tests control every pixel including alpha.
int catch_rgba(int number, int w, int h, const std::vector<uint32_t>& rgba) {
    Bytes b;
    uint32_t body = uint32_t(w * h * 4);
    media_put_text(b, "BM");
    media_put32(b, 14 + 56 + body);
    media_put32(b, 0);
    media_put32(b, 14 + 56);
    media_put32(b, 56);
    media_put32(b, uint32_t(w));
    media_put32(b, uint32_t(-h));
    media_put16(b, 1);
    media_put16(b, 32);
    media_put32(b, 3);
    media_put32(b, body);
    media_put32(b, 0);
    media_put32(b, 0);
    media_put32(b, 0);
    media_put32(b, 0);
    for (uint32_t m : {0x000000FFu, 0x0000FF00u, 0x00FF0000u, 0xFF000000u}) media_put32(b, m);
    for (uint32_t px : rgba) media_put32(b, px);  // little-endian: R G B A in memory
    return image_catch(number, b.data(), b.size());
}

uint32_t rgba(int r, int g, int b, int a) { return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24; }

const unsigned char* pixel(int number, int x, int y) {
    const Image* img = image_handle(number);
    return img->pixels + (std::size_t(y) * img->width + x) * 4;
}

// The application's preview rule: fill a 150 x 130 box in one dimension.
void preview_size(int w, int h, int* pw, int* ph) {
    int t = h * 150 / w;
    if (t > 130) {
        *pw = w * 130 / h;
        *ph = 130;
    } else {
        *pw = 150;
        *ph = t;
    }
}

class ImageService : public MediaTempDir {
protected:
    void SetUp() override {
        MediaTempDir::SetUp();
        image_register_codecs();
    }
    void TearDown() override {
        image_free_all();
        MediaTempDir::TearDown();
    }
};

}  // namespace

TEST_F(ImageService, PreviewRuleOnRealPhotographs) {
    struct {
        const char* file;
        int w, h, pw, ph;
    } cases[] = {
        {"pictures/jpeg/landscape-600x400.jpg", 600, 400, 150, 100},
        {"pictures/jpeg/portrait-400x600.jpg", 400, 600, 86, 130},
        {"pictures/jpeg/small-100x50.jpg", 100, 50, 150, 75},
        {"pictures/testorig.png", 227, 149, 150, 98},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(image_load(111, media_fixture(c.file).c_str()));
        ASSERT_EQ(image_width(111), c.w);
        ASSERT_EQ(image_height(111), c.h);
        int pw, ph;
        preview_size(c.w, c.h, &pw, &ph);
        EXPECT_EQ(pw, c.pw);
        EXPECT_EQ(ph, c.ph);
        ASSERT_TRUE(image_resize(111, pw, ph));
        EXPECT_EQ(image_width(111), pw);
        EXPECT_EQ(image_height(111), ph);
        std::string out = path("JOXTemp.jpg");
        ASSERT_TRUE(image_save(111, out.c_str(), IMAGE_JPEG, 7));
        ASSERT_TRUE(image_load(112, out.c_str()));
        EXPECT_EQ(image_width(112), pw);
        EXPECT_EQ(image_height(112), ph);
    }
    // The rule's own edge values on synthetic pictures.
    struct {
        int w, h, pw, ph;
    } rule[] = {{300, 200, 150, 100}, {100, 200, 65, 130}, {50, 40, 150, 120}, {150, 130, 150, 130}};
    for (const auto& r : rule) {
        SCOPED_TRACE(std::to_string(r.w) + "x" + std::to_string(r.h));
        ASSERT_TRUE(catch_rgba(111, r.w, r.h, std::vector<uint32_t>(std::size_t(r.w * r.h), rgba(9, 99, 199, 255))));
        int pw, ph;
        preview_size(r.w, r.h, &pw, &ph);
        EXPECT_EQ(pw, r.pw);
        EXPECT_EQ(ph, r.ph);
        ASSERT_TRUE(image_resize(111, pw, ph));
        EXPECT_EQ(image_width(111), r.pw);
        EXPECT_EQ(image_height(111), r.ph);
    }
}

TEST_F(ImageService, FlatColourSurvivesShrinkingAndEnlarging) {
    struct {
        int w, h;
    } sizes[] = {{17, 13}, {1, 1}, {150, 97}, {641, 3}, {64, 48}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        ASSERT_TRUE(catch_rgba(5, 64, 48, std::vector<uint32_t>(64 * 48, rgba(30, 140, 220, 255))));
        ASSERT_TRUE(image_resize(5, s.w, s.h));
        for (int y = 0; y < s.h; y++)
            for (int x = 0; x < s.w; x++) {
                const unsigned char* p = pixel(5, x, y);
                ASSERT_TRUE(p[0] == 30 && p[1] == 140 && p[2] == 220 && p[3] == 255) << x << "," << y;
            }
    }
}

TEST_F(ImageService, ScalingIsSmoothNotNearestPixel) {
    // A one-pixel checkerboard halved: every output pixel averages 2 x 2.
    std::vector<uint32_t> board(64 * 64);
    for (int i = 0; i < 64 * 64; i++) board[std::size_t(i)] = ((i % 64 + i / 64) % 2) ? rgba(255, 255, 255, 255) : rgba(0, 0, 0, 255);
    ASSERT_TRUE(catch_rgba(6, 64, 64, board));
    ASSERT_TRUE(image_resize(6, 32, 32));
    for (int y = 0; y < 32; y += 7)
        for (int x = 0; x < 32; x += 5) EXPECT_NEAR(pixel(6, x, y)[1], 128, 1);
    // Black then white, enlarged four times: a ramp, not two blocks.
    ASSERT_TRUE(catch_rgba(6, 2, 1, {rgba(0, 0, 0, 255), rgba(255, 255, 255, 255)}));
    ASSERT_TRUE(image_resize(6, 8, 1));
    int previous = -1, between = 0;
    for (int x = 0; x < 8; x++) {
        int v = pixel(6, x, 0)[0];
        EXPECT_GE(v, previous);
        previous = v;
        between += v > 0 && v < 255;
    }
    EXPECT_GE(between, 4);
    EXPECT_EQ(pixel(6, 0, 0)[0], 0);
    EXPECT_EQ(pixel(6, 7, 0)[0], 255);
}

TEST_F(ImageService, TransparentPixelsLendNoColour) {
    // Opaque red beside fully transparent green: the blend stays red.
    ASSERT_TRUE(catch_rgba(7, 4, 1, {rgba(255, 0, 0, 255), rgba(255, 0, 0, 255), rgba(0, 255, 0, 0), rgba(0, 255, 0, 0)}));
    ASSERT_TRUE(image_resize(7, 1, 1));
    const unsigned char* p = pixel(7, 0, 0);
    EXPECT_EQ(p[0], 255);
    EXPECT_EQ(p[1], 0);
    EXPECT_NEAR(p[3], 128, 1);
}

TEST_F(ImageService, ResizeEdges) {
    ASSERT_TRUE(catch_rgba(8, 4, 4, std::vector<uint32_t>(16, rgba(1, 2, 3, 255))));
    const Image* before = image_handle(8);
    unsigned char* pixels = before->pixels;
    EXPECT_TRUE(image_resize(8, 4, 4));
    EXPECT_EQ(image_handle(8)->pixels, pixels);  // same size: untouched
    struct {
        int w, h;
    } refused[] = {{0, 4}, {4, 0}, {-1, 4}, {16385, 1}, {16384, 4097}};
    for (const auto& r : refused) {
        EXPECT_EQ(image_resize(8, r.w, r.h), 0);
        EXPECT_EQ(image_width(8), 4);  // the old picture stays
        EXPECT_EQ(image_height(8), 4);
    }
    EXPECT_EQ(image_resize(9, 10, 10), 0);  // empty number
}

TEST_F(ImageService, JpegQualityIsClampedThenTimesTen) {
    struct {
        int in, out;
    } table[] = {{-3, 0}, {0, 0}, {1, 10}, {7, 70}, {10, 100}, {12, 100}, {1000, 100}};
    for (const auto& t : table) EXPECT_EQ(image_jpeg_quality(t.in), t.out) << t.in;

    ASSERT_TRUE(image_load(1, media_fixture("pictures/bmp/truecolor24.bmp").c_str()));
    auto saved = [&](int quality) {
        std::string file = path("q" + std::to_string(quality) + ".jpg");
        EXPECT_TRUE(image_save(1, file.c_str(), IMAGE_JPEG, quality));
        return media_read(file);
    };
    Bytes q12 = saved(12), q10 = saved(10), q0 = saved(0), qm3 = saved(-3), q7 = saved(7);
    EXPECT_FALSE(q10.empty());
    EXPECT_EQ(q12, q10);
    EXPECT_EQ(qm3, q0);
    EXPECT_NE(q7, q10);
    EXPECT_LT(q0.size(), q7.size());
    EXPECT_LT(q7.size(), q10.size());
}

TEST_F(ImageService, JpegSaveKeepsColoursAndOrientation) {
    // Top half orange, bottom half blue: a flipped or channel-swapped
    // encoder shows at once.
    std::vector<uint32_t> px(32 * 32);
    for (int i = 0; i < 32 * 32; i++) px[std::size_t(i)] = i / 32 < 16 ? rgba(250, 140, 20, 255) : rgba(20, 60, 230, 255);
    ASSERT_TRUE(catch_rgba(2, 32, 32, px));
    std::string file = path("two.jpg");
    ASSERT_TRUE(image_save(2, file.c_str(), IMAGE_JPEG, 10));
    Bytes b = media_read(file);
    ASSERT_GT(b.size(), 4u);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xD8);
    ASSERT_TRUE(image_load(3, file.c_str()));
    EXPECT_EQ(image_handle(3)->depth, 24);
    const unsigned char* top = pixel(3, 10, 4);
    const unsigned char* bottom = pixel(3, 10, 28);
    EXPECT_NEAR(top[0], 250, 6);
    EXPECT_NEAR(top[1], 140, 6);
    EXPECT_NEAR(top[2], 20, 6);
    EXPECT_NEAR(bottom[0], 20, 6);
    EXPECT_NEAR(bottom[1], 60, 6);
    EXPECT_NEAR(bottom[2], 230, 6);
}

TEST_F(ImageService, BitmapSaveRoundTrip) {
    // An odd width makes every row carry padding.
    std::vector<uint32_t> px(7 * 5);
    for (int i = 0; i < 35; i++) px[std::size_t(i)] = rgba(i * 7, 255 - i * 5, i % 3 * 100, i % 2 ? 255 : 40);
    ASSERT_TRUE(catch_rgba(4, 7, 5, px));
    std::string file = path("round.bmp");
    ASSERT_TRUE(image_save(4, file.c_str(), IMAGE_BMP, 7));
    Bytes b = media_read(file);
    const std::size_t stride = (7 * 3 + 3) / 4 * 4;
    ASSERT_EQ(b.size(), 54 + stride * 5);
    auto u32 = [&](std::size_t at) { return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24); };
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(u32(2), b.size());
    EXPECT_EQ(u32(10), 54u);
    EXPECT_EQ(u32(14), 40u);
    EXPECT_EQ(u32(18), 7u);
    EXPECT_EQ(u32(22), 5u);  // positive height: bottom-up rows
    EXPECT_EQ(b[28], 24);
    // The first stored row is the picture's bottom row, in B G R order.
    EXPECT_EQ(b[54 + 0], px[28] >> 16 & 0xFF);
    EXPECT_EQ(b[54 + 1], px[28] >> 8 & 0xFF);
    EXPECT_EQ(b[54 + 2], px[28] & 0xFF);
    ASSERT_TRUE(image_load(5, file.c_str()));
    ASSERT_EQ(image_width(5), 7);
    ASSERT_EQ(image_height(5), 5);
    for (int i = 0; i < 35; i++) {
        const unsigned char* p = pixel(5, i % 7, i / 7);
        uint32_t want = px[std::size_t(i)];
        ASSERT_TRUE(p[0] == (want & 0xFF) && p[1] == (want >> 8 & 0xFF) && p[2] == (want >> 16 & 0xFF)) << i;
        EXPECT_EQ(p[3], 255);  // 24-bit files have no alpha
    }
}

TEST_F(ImageService, SaveFailuresReported) {
    EXPECT_EQ(image_save(20, path("none.jpg").c_str(), IMAGE_JPEG, 7), 0);  // empty number
    ASSERT_TRUE(catch_rgba(20, 2, 2, std::vector<uint32_t>(4, rgba(1, 1, 1, 255))));
    EXPECT_EQ(image_save(20, path("missing/dir/x.jpg").c_str(), IMAGE_JPEG, 7), 0);
    EXPECT_EQ(image_save(20, path("missing/dir/x.bmp").c_str(), IMAGE_BMP, 7), 0);
    EXPECT_EQ(image_save(20, path("x.gif").c_str(), 0x20464947, 7), 0);  // no GIF encoder
}
