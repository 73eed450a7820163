// Offer texts and names: the size line, the acceptance question, offered
// names made safe, offer parsing (long and broken offers), the renaming rule
// on a real folder, and the picture preview's geometry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "offer_names.h"
#include "desktop.h"
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string md5_digits() { return "0123456789abcdef0123456789abcdef"; }

std::string file_offer(const std::string& name, const std::string& size)
{
    return "NAMEJOX" + name + "SIZEJOXsizejox" + size + "MD5JOX" + md5_digits();
}

} // namespace

TEST(OfferSizeLine, NumberAndUnit)
{
    struct Row { const char* size; const char* number; const char* unit; };
    const Row rows[] = {
        {"0", "Few", " Bytes"},
        {"1023", "Few", " Bytes"},
        {"1024", "1", "KB"},
        {"1536", "2", "KB"},          // half goes to the even neighbour
        {"2560", "2", "KB"},
        {"3584", "4", "KB"},
        {"1048575", "1024", "KB"},
        {"1048576", "1", "MB"},
        {"2621440", "2", "MB"},       // 2.5 MB, half to even
        {"1073741760", "1024", "MB"},
        {"1073741823", "Few", " Bytes"},  // single precision reads 2^30
        {"1e5", "Few", " Bytes"},         // no exponents: reads 1
        {"+4096.7", "4", "KB"},
        {"1073741824", "Few", " Bytes"},
        {"2147483647", "Few", " Bytes"},
        {"-5", "Few", " Bytes"},
        {"  2048", "2", "KB"},        // leading blanks skipped
        {"abc", "Few", " Bytes"},
        {"0x800", "Few", " Bytes"},   // decimal only
        {"", "Few", " Bytes"},
    };
    for (const Row& r : rows) {
        std::string number = "stale", unit = "stale";
        offer_format_size(r.size, &number, &unit);
        EXPECT_EQ(number, r.number) << r.size;
        EXPECT_EQ(unit, r.unit) << r.size;
    }
}

TEST(OfferQuestion, ExactTexts)
{
    struct Row { const char* name; const char* size; const char* text; };
    const Row rows[] = {
        {"Setup.EXE", "1048576",
         "Accept File: \r  Name : Setup.EXE\r  Size    : 1MB\r  Ext     : EXE"
         " ?\r\rWARNING :\r   File May Contain a Virus."},
        {"notes.txt", "100",
         "Accept File: \r  Name : notes.txt\r  Size    : Few Bytes\r  Ext     : txt ?"},
        {"Makefile", "2048", "Accept File: \r  Name : Makefile\r  Size    : 2KB ?"},
        {"backup.Zip", "1024",
         "Accept File: \r  Name : backup.Zip\r  Size    : 1KB\r  Ext     : Zip"
         " ?\r\rWARNING :\r   File May Contain a Virus."},
        {"lib.dll.txt", "1024",
         "Accept File: \r  Name : lib.dll.txt\r  Size    : 1KB\r  Ext     : txt ?"},
        {"trailing.", "1024", "Accept File: \r  Name : trailing.\r  Size    : 1KB ?"},
    };
    for (const Row& r : rows) {
        std::string number, unit;
        offer_format_size(r.size, &number, &unit);
        EXPECT_EQ(offer_accept_text(r.name, number, unit, offer_extension(r.name)), r.text)
            << r.name;
    }
}

TEST(OfferExtension, Rules)
{
    EXPECT_EQ(offer_extension("a.tar.gz"), "gz");
    EXPECT_EQ(offer_extension("Makefile"), "No Extension");
    EXPECT_EQ(offer_extension("say.txt\"quoted"), "txt");
    EXPECT_EQ(offer_extension("dir.d/file"), "No Extension");
    EXPECT_EQ(offer_extension("dir.d\\file"), "No Extension");

    struct Row { const char* name; int picture; };
    const Row rows[] = {
        {"a.JPG", 1}, {"b.Png", 1}, {"c.BMP", 1}, {"d.jpg", 1},
        {"e.gif", 0}, {"f.jpeg", 0}, {"jpg", 0}, {"g.jpg.txt", 0}, {"h.", 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(offer_is_picture(r.name), r.picture) << r.name;
}

TEST(OfferSafeName, NeverLeavesTheFolder)
{
    struct Row { std::string offered; std::string safe; };
    const Row rows[] = {
        {"../../x", "x"},
        {"a/b\\c", "c"},
        {"\x01" "evil", "evil"},
        {"", OFFER_FALLBACK_NAME},
        {"..", OFFER_FALLBACK_NAME},
        {".", OFFER_FALLBACK_NAME},
        {"/etc/passwd", "passwd"},
        {"dir/", OFFER_FALLBACK_NAME},
        {"..\\..\\boot.ini", "boot.ini"},
        {"a\x7f" "b\tc\nd", "abcd"},
        {"\x1b", OFFER_FALLBACK_NAME},
        {"x/..", OFFER_FALLBACK_NAME},
        {"...", "..."},
        {"photo (1).jpg", "photo (1).jpg"},
        {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(offer_safe_name(r.offered), r.safe) << r.offered;

    // Too long for the file system: cut, never inside a UTF-8 character.
    std::string name;
    for (int i = 0; i < 200; ++i)
        name += "\xc3\xa9";
    std::string safe = offer_safe_name(name);
    EXPECT_LE(safe.size(), std::size_t(OFFER_NAME_MAX));
    EXPECT_EQ(safe.size() % 2, 0u);
    EXPECT_EQ(offer_safe_name(std::string(255, 'n')), std::string(255, 'n'));
}

TEST(OfferParse, FileAndImageOffers)
{
    OfferFields f = offer_parse_file(file_offer("report.pdf", "18001"));
    EXPECT_EQ(f.name, "report.pdf");
    EXPECT_EQ(f.size, "18001");
    EXPECT_EQ(f.md5, md5_digits());

    // A name of 255 bytes makes the offer longer than one 256-byte receive.
    std::string longname(251, 'L');
    longname += ".txt";
    std::string text = file_offer(longname, "12");
    ASSERT_GT(text.size(), 256u);
    EXPECT_EQ(offer_parse_file(text).name, longname);
    EXPECT_EQ(offer_parse_file(text).md5, md5_digits());
    std::string head = text.substr(0, 256);
    EXPECT_FALSE(offer_complete(head));
    // Without the marker the rest is not known yet: at least what is due.
    EXPECT_GE(offer_missing_bytes(head), int(text.size()) - 256);
    EXPECT_TRUE(offer_complete(text));
    EXPECT_EQ(offer_missing_bytes(text), 0);
    // The marker arrived but the digits are cut.
    EXPECT_EQ(offer_missing_bytes(text.substr(0, text.size() - 5)), 5);

    // Missing parts give empty texts, never a crash or a wrong slice.
    struct Row { std::string text; std::string name, size, md5; };
    const Row rows[] = {
        {"NAMEJOX", "", "", ""},
        {"NAMEJOXa.txtSIZEJOXsizejox12", "a.txt", "", ""},
        {"NAMEJOXa.txtMD5JOXabc", "", "", "abc"},
        {"NAMEJOXSIZEJOXsizejoxMD5JOX", "", "", ""},
        {"NAMEJOXa.txtSIZEJOXsizejox5MD5JOX", "a.txt", "5", ""},
    };
    for (const Row& r : rows) {
        OfferFields g = offer_parse_file(r.text);
        EXPECT_EQ(g.name, r.name) << r.text;
        EXPECT_EQ(g.size, r.size) << r.text;
        EXPECT_EQ(g.md5, r.md5) << r.text;
    }

    OfferFields i = offer_parse_image("IMGJOXphoto.JPGMD5JOX" + md5_digits());
    EXPECT_EQ(i.name, "photo.JPG");
    EXPECT_EQ(i.md5, md5_digits());
    EXPECT_EQ(offer_parse_image("IMGJOXnoMark").name, "");
    EXPECT_EQ(offer_parse_image("IMGJOXMD5JOX" + md5_digits()).name, "");
    std::string longimage = "IMGJOX" + std::string(255, 'p') + "MD5JOX" + md5_digits();
    EXPECT_FALSE(offer_complete(longimage.substr(0, 256)));
    EXPECT_EQ(offer_parse_image(longimage).name, std::string(255, 'p'));
}

TEST(OfferRenaming, CandidateNames)
{
    EXPECT_EQ(offer_copy_name("photo.jpg", 1), "photo(1).jpg");
    EXPECT_EQ(offer_copy_name("photo.jpg", 12), "photo(12).jpg");
    EXPECT_EQ(offer_copy_name("a.tar.gz", 1), "a(1).tar.gz");
    EXPECT_EQ(offer_copy_name("README", 1), "(1).README");
    EXPECT_EQ(offer_copy_name(".bashrc", 2), "(2).bashrc");
    // A name at the length limit still gets a candidate within it.
    std::string full = std::string(251, 'q') + ".txt";
    std::string copy = offer_copy_name(full, 1);
    EXPECT_LE(copy.size(), std::size_t(OFFER_NAME_MAX));
    EXPECT_EQ(copy.substr(copy.size() - 8), "q(1).txt");
    std::string bare = offer_copy_name(std::string(255, 'r'), 3);
    EXPECT_EQ(bare.size(), std::size_t(OFFER_NAME_MAX));
    EXPECT_EQ(bare.substr(0, 4), "(3).");
}

class OfferRenamingFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/jox-offers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    void touch(const std::string& name) { std::ofstream(dir + "/" + name) << "x"; }
    std::string pick(const std::string& offered)
    {
        std::string path;
        int fd = offer_create_target(dir + "/", offered, &path);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
        return path.substr(dir.size() + 1);
    }
    std::string dir;
};

TEST_F(OfferRenamingFolder, NothingExistingIsOverwritten)
{
    EXPECT_EQ(pick("photo.jpg"), "photo.jpg");
    touch("photo.jpg");
    EXPECT_EQ(pick("photo.jpg"), "photo(1).jpg");
    touch("photo(1).jpg");
    EXPECT_EQ(pick("photo.jpg"), "photo(2).jpg");
    touch("a.tar.gz");
    EXPECT_EQ(pick("a.tar.gz"), "a(1).tar.gz");
    touch("README");
    EXPECT_EQ(pick("README"), "(1).README");
    // A folder, and a link pointing nowhere, count as taken.
    fs::create_directory(dir + "/album.png");
    EXPECT_EQ(pick("album.png"), "album(1).png");
    fs::create_symlink(dir + "/missing-target", dir + "/link.txt");
    EXPECT_EQ(pick("link.txt"), "link(1).txt");
}

TEST(OfferPreview, SizesAndWindowLayout)
{
    struct Row { int w, h, pw, ph, image_x, buttons_y, inner; };
    const Row rows[] = {
        {600, 400, 150, 100, 20, 135, 165},
        {400, 600, 86, 130, 52, 165, 195},
        {100, 50, 150, 75, 20, 110, 140},
        {150, 130, 150, 130, 20, 165, 195},
        {0, 0, 0, 0, 95, 35, 65},
    };
    for (const Row& r : rows) {
        int pw = -1, ph = -1;
        offer_preview_size(r.w, r.h, &pw, &ph);
        EXPECT_EQ(pw, r.pw) << r.w << "x" << r.h;
        EXPECT_EQ(ph, r.ph) << r.w << "x" << r.h;
        AcceptImageLayout l = offer_accept_image_layout(pw, ph);
        EXPECT_EQ(l.image_x, r.image_x);
        EXPECT_EQ(l.image_y, 25);
        EXPECT_EQ(l.buttons_y, r.buttons_y);
        EXPECT_EQ(l.inner_height, r.inner);
    }
    AcceptImageLayout small = offer_accept_image_layout(144, 47);
    EXPECT_EQ(small.image_x, 23);
    EXPECT_EQ(small.buttons_y, 82);
    EXPECT_EQ(small.inner_height, 112);
    // A tiny square is scaled up: T = 150 > 130, so 1 * 130 / 1 wide.
    int pw = 0, ph = 0;
    offer_preview_size(1, 1, &pw, &ph);
    EXPECT_EQ(pw, 130);
    EXPECT_EQ(ph, 130);
    // Extreme proportions stay within the box without overflowing.
    // Extreme shapes keep a pixel each way, so the scaling cannot fail.
    offer_preview_size(16384, 3, &pw, &ph);
    EXPECT_EQ(pw, 150);
    EXPECT_EQ(ph, 1);
    offer_preview_size(3, 16384, &pw, &ph);
    EXPECT_EQ(pw, 1);
    EXPECT_EQ(ph, 130);
    offer_preview_size(1000, 1, &pw, &ph);
    EXPECT_EQ(pw, 150);
    EXPECT_EQ(ph, 1);
}

TEST(OfferProgress, Text)
{
    EXPECT_EQ(progress_text(0, 1000, 0.0), "0 %");
    EXPECT_EQ(progress_text(420, 1000, 0.05), "42 %");
    EXPECT_EQ(progress_text(100 << 20, 200 << 20, 1.0), "50 % \xC2\xB7 100 MB/s");
    EXPECT_EQ(progress_text(999, 1000, 1.0), "99 % \xC2\xB7 1 kB/s");
    EXPECT_EQ(progress_text(500 << 10, 1 << 20, 1.0), "48 % \xC2\xB7 500 kB/s");
    EXPECT_EQ(progress_text(0, 0, 0.0), "100 %");
    // Resumed at 62 %: said at first; the rate counts only what moved.
    EXPECT_EQ(progress_text(650, 1000, 0.5, 620), "resuming at 62 %");
    // The second line: the name, then the time left once a rate is known.
    EXPECT_EQ(progress_detail("a.iso", 0, 100, 0.5), "a.iso");
    EXPECT_EQ(progress_detail("a.iso", 50 << 20, 100 << 20, 5.0), "a.iso \xC2\xB7 0:05 left");
    EXPECT_EQ(progress_detail("a.iso", 1 << 20, 4000LL << 20, 1.0), "a.iso \xC2\xB7 1:06:39 left");
    EXPECT_EQ(progress_detail("a.iso", 60, 100, 2.0, 40), "a.iso \xC2\xB7 0:04 left");
    EXPECT_EQ(progress_detail("a.iso", 100, 100, 2.0), "a.iso");
    EXPECT_EQ(progress_text((420 << 20) + (100 << 20), 1000 << 20, 2.0, 420 << 20), "52 % \xC2\xB7 50 MB/s");
}
