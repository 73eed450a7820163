// The embedded pictures as the program sees them: each stored file decodes
// through the picture service at its listed size, window plates and strips
// cover their whole window, button pictures keep a see-through background,
// and the part of each progress strip that the program draws over stays plain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "assets.h"
#include "image.h"

namespace {

enum class Fill {
    opaque,       // fills a window or plate edge to edge
    see_through,  // a button or status picture on the window's own background
};

struct Listed {
    int number;
    const char* what;
    int width;
    int height;
    Fill fill;
    int icons;  // images in the stored icon file; 0 for a PNG
};

const Listed kPictures[] = {
    {0, "banner", 410, 70, Fill::opaque, 1},
    {1, "send", 58, 58, Fill::see_through, 1},
    {2, "options", 59, 59, Fill::see_through, 1},
    {3, "globe off", 16, 18, Fill::see_through, 1},
    {4, "globe on", 16, 18, Fill::see_through, 1},
    {5, "options plate", 211, 65, Fill::see_through, 2},
    {6, "sending strip", 219, 25, Fill::opaque, 0},
    {7, "help", 24, 24, Fill::see_through, 0},
    {8, "folder", 49, 60, Fill::see_through, 1},
    {9, "chat", 64, 60, Fill::see_through, 2},
    {10, "wait plate", 164, 47, Fill::opaque, 1},
    {13, "receiving strip", 219, 25, Fill::opaque, 0},
};

const unsigned char* pixel(const Image* im, int x, int y)
{
    return im->pixels + (static_cast<std::size_t>(y) * im->width + x) * 4;
}

class AssetsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { image_register_codecs(); }
    void TearDown() override { image_free_all(); }
};

TEST_F(AssetsTest, EveryListedPictureDecodesAtItsSize)
{
    for (const Listed& p : kPictures) {
        SCOPED_TRACE(p.what);
        EmbeddedPicture stored = asset_picture(p.number);
        ASSERT_NE(stored.data, nullptr);
        ASSERT_GT(stored.size, 0u);
        ASSERT_NE(image_catch(p.number, stored.data, stored.size), 0);
        EXPECT_EQ(image_width(p.number), p.width);
        EXPECT_EQ(image_height(p.number), p.height);
        Image* im = image_handle(p.number);
        ASSERT_NE(im, nullptr);
        EXPECT_EQ(im->depth, 32);  // icons carry alpha; PNGs decode to 32 bits

        int opaque = 0;
        for (int y = 0; y < im->height; ++y)
            for (int x = 0; x < im->width; ++x)
                opaque += pixel(im, x, y)[3] == 255;
        const int area = im->width * im->height;
        if (p.fill == Fill::opaque) {
            EXPECT_EQ(opaque, area) << "a plate or strip with holes shows what lies behind the window";
        } else {
            EXPECT_EQ(pixel(im, 0, 0)[3], 0) << "top-left corner should be see-through";
            EXPECT_EQ(pixel(im, im->width - 1, im->height - 1)[3], 0)
                << "bottom-right corner should be see-through";
            EXPECT_GT(opaque, area / 5) << "the picture itself is missing";
        }
    }
}

std::uint32_t read_le(const unsigned char* p, int bytes)
{
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// Other readers of icon files pick an entry by its directory and bit count,
// so the stored files keep the listed layout: the 32-bit image first and, in
// the two-image files, an 8-bit palette image of the same size after it.
TEST_F(AssetsTest, IconFilesHoldTheirListedImages)
{
    for (const Listed& p : kPictures) {
        if (p.icons == 0)
            continue;
        SCOPED_TRACE(p.what);
        EmbeddedPicture stored = asset_picture(p.number);
        ASSERT_GE(stored.size, 6u + 16u * p.icons);
        const unsigned char* d = stored.data;
        ASSERT_EQ(read_le(d, 2), 0u);
        ASSERT_EQ(read_le(d + 2, 2), 1u);
        ASSERT_EQ(read_le(d + 4, 2), static_cast<std::uint32_t>(p.icons));
        for (int i = 0; i < p.icons; ++i) {
            const unsigned char* entry = d + 6 + 16 * i;
            const std::uint32_t bits = i == 0 ? 32 : 8;
            EXPECT_EQ(entry[0], p.width < 256 ? p.width : 0);
            EXPECT_EQ(entry[1], p.height < 256 ? p.height : 0);
            EXPECT_EQ(read_le(entry + 6, 2), bits);
            const std::uint32_t bytes = read_le(entry + 8, 4), offset = read_le(entry + 12, 4);
            ASSERT_LE(std::uint64_t{offset} + bytes, stored.size);
            ASSERT_GE(bytes, 40u);
            const unsigned char* header = d + offset;
            EXPECT_EQ(read_le(header, 4), 40u);
            EXPECT_EQ(read_le(header + 4, 4), static_cast<std::uint32_t>(p.width));
            EXPECT_EQ(read_le(header + 8, 4), static_cast<std::uint32_t>(2 * p.height));
            EXPECT_EQ(read_le(header + 14, 2), bits);
        }
    }
}

TEST_F(AssetsTest, NumbersOutsideTheListHoldNothing)
{
    for (int number : {-1, 11, 12, 14, 111, 112}) {
        EmbeddedPicture stored = asset_picture(number);
        EXPECT_EQ(stored.data, nullptr) << number;
        EXPECT_EQ(stored.size, 0u) << number;
    }
}

// The progress bar and the rate are drawn over the right third of a strip;
// words or marks there would clash with them. Inside the border every row of
// that part must be one colour, give or take a gradient step.
TEST_F(AssetsTest, ProgressStripsKeepTheirRightThirdPlain)
{
    for (int number : {6, 13}) {
        SCOPED_TRACE(number);
        EmbeddedPicture stored = asset_picture(number);
        ASSERT_NE(image_catch(number, stored.data, stored.size), 0);
        Image* im = image_handle(number);
        ASSERT_NE(im, nullptr);
        const int from = im->width - im->width / 3;
        for (int y = 1; y < im->height - 1; ++y) {
            for (int c = 0; c < 3; ++c) {
                int lo = 255, hi = 0;
                for (int x = from; x < im->width - 1; ++x) {
                    lo = std::min<int>(lo, pixel(im, x, y)[c]);
                    hi = std::max<int>(hi, pixel(im, x, y)[c]);
                }
                EXPECT_LE(hi - lo, 2) << "row " << y << " channel " << c;
            }
        }
    }
}

// The two status-bar globes tell the user whether a call is up; if they
// came out the same the status bar would say nothing.
TEST_F(AssetsTest, ConnectedGlobeDiffersFromDisconnectedGlobe)
{
    EmbeddedPicture off = asset_picture(3), on = asset_picture(4);
    ASSERT_NE(image_catch(3, off.data, off.size), 0);
    ASSERT_NE(image_catch(4, on.data, on.size), 0);
    Image* a = image_handle(3);
    Image* b = image_handle(4);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->width * a->height, b->width * b->height);
    int differing = 0;
    for (int i = 0; i < a->width * a->height; ++i)
        differing += std::memcmp(a->pixels + 4 * i, b->pixels + 4 * i, 4) != 0;
    EXPECT_GT(differing, a->width * a->height / 4);
}

}  // namespace
