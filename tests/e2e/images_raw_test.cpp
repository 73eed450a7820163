// Picture offers end to end: the real program in-process against a raw
// protocol peer. Which files go as pictures, the preview's size on the wire,
// the "Accept Image?" window's geometry around a real preview, its two
// buttons, automatic acceptance, and a peer that vanishes before the preview.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <sys/socket.h>

#include "image.h"
#include "layouts.h"
#include "offer_names.h"
#include "offers_harness_ext.h"
#include "state.h"
#include "toolkit.h"

namespace {

const std::string PICTURES = std::string(JOX_TEST_DATA) + "/pictures/";
enum { TEST_IMAGE = 240 };

// Reads one file frame; its body, or "" with `ok` false.
std::string read_frame(int fd, bool* ok)
{
    std::string head = raw_read(fd, 12, 5000);
    *ok = head.size() == 12 && head.compare(0, 8, "PBMGSFLE") == 0;
    if (!*ok)
        return "";
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i)
        n |= uint32_t(static_cast<unsigned char>(head[8 + i])) << (8 * i);
    std::string body = raw_read(fd, n, 5000);
    *ok = body.size() == n;
    return body;
}

// Width x height of a JPEG held in memory, "undecodable" when it is not one.
std::string jpeg_size(const std::string& bytes)
{
    Image img{};
    if (!image_decode_jpeg(bytes.data(), bytes.size(), &img))
        return "undecodable";
    std::free(img.pixels);
    return std::to_string(img.width) + "x" + std::to_string(img.height);
}

// A JPEG preview of exactly w x h made from a fixture, as the peer sends it.
std::string make_preview(const std::string& dir, int w, int h)
{
    std::string path = dir + "preview-" + std::to_string(w) + "x" + std::to_string(h) + ".jpg";
    EXPECT_TRUE(image_load(TEST_IMAGE, (PICTURES + "jpeg/testorig.jpg").c_str()));
    EXPECT_TRUE(image_resize(TEST_IMAGE, w, h));
    EXPECT_TRUE(image_save(TEST_IMAGE, path.c_str(), IMAGE_JPEG, 7));
    image_free(TEST_IMAGE);
    return harness_read_file(path);
}

HarnessConfig config_with(const char* auto_accept)
{
    HarnessConfig c;
    c.auto_accept = auto_accept;
    return c;
}

} // namespace

TEST(ImagesSend, PicturesByExtensionWithPreviewSizes)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "img-send"));
    std::string dir = harness_temp_dir("img-send-src");
    struct Row { std::string fixture; std::string name; std::string kind; std::string preview; };
    const Row rows[] = {
        {"jpeg/landscape-600x400.jpg", "Wide.JPG", "IMGJOX", "150x100"},
        {"jpeg/portrait-400x600.jpg", "tall.jpg", "IMGJOX", "86x130"},
        {"jpeg/small-100x50.jpg", "small.jpg", "IMGJOX", "150x75"},
        {"bmp/gray-300x200.bmp", "gray.BMP", "IMGJOX", "150x100"},
        {"testorig.png", "orig.Png", "IMGJOX", ""},
        {"jpeg/landscape-600x400.jpg", "photo.jpeg", "NAMEJOX", ""},
        {"jpeg/small-100x50.jpg", "anim.gif", "NAMEJOX", ""},
        {"jpeg/truncated.jpg", "broken.jpg", "", ""},
    };
    std::vector<std::string> paths;
    for (const Row& r : rows) {
        std::string bytes = harness_read_file(PICTURES + r.fixture);
        ASSERT_FALSE(bytes.empty()) << r.fixture;
        paths.push_back(dir + r.name);
        harness_write_file(paths.back(), r.name == "broken.jpg" ? "not a picture at all" : bytes);
    }
    // The PNG's preview follows the rule from its own size.
    ASSERT_TRUE(image_load(TEST_IMAGE, (PICTURES + "testorig.png").c_str()));
    int pw = 0, ph = 0;
    offer_preview_size(image_width(TEST_IMAGE), image_height(TEST_IMAGE), &pw, &ph);
    image_free(TEST_IMAGE);
    std::string png_preview = std::to_string(pw) + "x" + std::to_string(ph);

    ui_test_queue_files_answer(paths.data(), int(paths.size()));
    std::vector<std::string> seen(std::size(rows));
    OfferPeer peer([&] {
        raw_read(call.fd, 22, 3000);
        for (std::size_t i = 0; i < std::size(rows); ++i) {
            std::string body = harness_read_file(paths[i]);
            std::string img = offers_image_offer(rows[i].name, body);
            std::string file = offers_file_offer(rows[i].name, body);
            std::string head = raw_read(call.fd, 6, 3000);
            bool is_image = head == "IMGJOX";
            std::string rest = raw_read(call.fd, (is_image ? img : file).size() - 6, 3000);
            if (head + rest != (is_image ? img : file)) {
                seen[i] = "bad offer " + head + rest;
                return;
            }
            raw_send(call.fd, "RF");
            if (is_image) {
                bool ok = false;
                std::string preview = read_frame(call.fd, &ok);
                seen[i] = "IMGJOX " + (ok ? jpeg_size(preview) : std::string("no frame"));
            } else {
                seen[i] = "NAMEJOX " + raw_read(call.fd, 2, 3000);
            }
            raw_send(call.fd, "na");
        }
    });
    harness_click(6);
    ASSERT_TRUE(offers_pump_peer(peer, 20000, [] {
        return harness_status() == "Connected. File/s not Sent or Not Accepted.";
    }));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        std::string preview = rows[i].name == "orig.Png" ? png_preview : rows[i].preview;
        std::string expected = rows[i].kind == "IMGJOX" ? "IMGJOX " + preview : "NAMEJOX SD";
        EXPECT_EQ(seen[i], expected) << rows[i].name;
    }
    // The sending side's preview file does not stay behind.
    EXPECT_EQ(harness_read_file(call.dir + "JOXTemp.jpg"), "");
    harness_remove_dir(dir);
    offers_end(&call);
}

TEST(ImagesReceive, AcceptWindowAroundRealPreviews)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("No"), "img-recv"));
    std::string dir = harness_temp_dir("img-recv-src");
    std::string full = harness_read_file(PICTURES + "jpeg/landscape-600x400.jpg");
    struct Row { int w, h; bool yes; };
    const Row rows[] = {{150, 100, true}, {86, 130, false}, {150, 75, true}, {144, 47, false}};
    int accepted = 0;
    for (const Row& r : rows) {
        std::string preview = make_preview(dir, r.w, r.h);
        std::string seen;
        OfferPeer peer([&] {
            raw_send(call.fd, offers_image_offer("view.jpg", full));
            seen = raw_read(call.fd, 2, 3000);
            raw_send(call.fd, offers_frame(preview));
            std::string answer = raw_read(call.fd, 1, 8000);
            if (answer == "n")
                answer += raw_read(call.fd, 1, 1000);
            seen += "|" + answer;
            if (answer == "a") {
                raw_send(call.fd, offers_frame(full));
                seen += "|" + raw_read(call.fd, 4, 5000);
            }
        });
        ASSERT_TRUE(pump_until([] { return control_handle(30) != nullptr; }, 5000));
        QWidget* window = static_cast<QWidget*>(window_handle(WINDOW_ACCEPT_IMAGE));
        QWidget* image = static_cast<QWidget*>(control_handle(15));
        QWidget* no = static_cast<QWidget*>(control_handle(29));
        QWidget* yes = static_cast<QWidget*>(control_handle(30));
        ASSERT_TRUE(window && image && no && yes);
        AcceptImageLayout l = offer_accept_image_layout(r.w, r.h);
        EXPECT_EQ(image->x(), 95 - r.w / 2) << r.w << "x" << r.h;
        EXPECT_EQ(image->x(), l.image_x);
        EXPECT_EQ(image->y(), 25);
        EXPECT_EQ(yes->geometry(), QRect(20, r.h + 35, 70, 24));
        EXPECT_EQ(no->geometry(), QRect(100, r.h + 35, 70, 24));
        EXPECT_EQ(window->height(), r.h + 65);
        EXPECT_EQ(window->width(), 190);
        EXPECT_EQ(image_width(112), r.w);
        EXPECT_EQ(image_height(112), r.h);
        EXPECT_EQ(control_enabled(4), 0);  // Options would take the preview's number
        // Return answers Yes, as in "Accept File", and Yes is drawn so.
        EXPECT_EQ(window->focusWidget(), yes);
        EXPECT_TRUE(static_cast<QPushButton*>(yes)->isDefault());
        EXPECT_FALSE(static_cast<QPushButton*>(no)->isDefault());
        if (r.w == 150 && r.h == 100) {
            std::string png = offers_screenshot_dir() + "accept_image_preview.png";
            EXPECT_TRUE(ui_test_grab_window(WINDOW_ACCEPT_IMAGE, png.c_str()));
        }
        harness_click(r.yes ? 30 : 29);
        ASSERT_TRUE(offers_pump_peer(peer, 10000, [&] {
            return !r.yes || harness_status() == "Connected. File/s Received.";
        }));
        EXPECT_EQ(window_handle(WINDOW_ACCEPT_IMAGE), nullptr);
        EXPECT_EQ(control_enabled(4), 1);
        if (r.yes) {
            EXPECT_EQ(seen, "RF|a|sent");
            // The second accepted copy of the same name gets the renaming rule.
            std::string stored = accepted++ == 0 ? "view.jpg" : "view(1).jpg";
            EXPECT_EQ(app.stored_name, stored);
            EXPECT_EQ(harness_read_file(call.dir + "Received Files/" + stored), full);
        } else {
            EXPECT_EQ(seen, "RF|na");
            pump_for(30);
            EXPECT_EQ(harness_status(), "Connected. File Not Accepted.");
        }
        EXPECT_TRUE(control_enabled(6));
    }
    harness_remove_dir(dir);
    offers_end(&call);
}

TEST(ImagesReceive, AutomaticAcceptanceAndVanishingPeer)
{
    OfferCall call;
    ASSERT_TRUE(offers_call_program(&call, config_with("Yes"), "img-auto"));
    std::string dir = harness_temp_dir("img-auto-src");
    std::string full = harness_read_file(PICTURES + "jpeg/small-100x50.jpg");
    std::string preview = make_preview(dir, 150, 75);
    std::string seen;
    {
        OfferPeer peer([&] {
            raw_send(call.fd, offers_image_offer("../auto.jpg", full));
            seen = raw_read(call.fd, 2, 3000);
            raw_send(call.fd, offers_frame(preview));
            seen += "|" + raw_read(call.fd, 1, 3000);
            raw_send(call.fd, offers_frame(full));
            seen += "|" + raw_read(call.fd, 4, 5000);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 10000));
    }
    EXPECT_EQ(seen, "RF|a|sent");
    EXPECT_EQ(window_handle(WINDOW_ACCEPT_IMAGE), nullptr);
    EXPECT_EQ(harness_read_file(call.dir + "Received Files/auto.jpg"), full);
    // The stranger's preview never lands among the program's own files.
    EXPECT_EQ(access((call.dir + "JOXTemp.jpg").c_str(), F_OK), -1);

    // The peer leaves while the program waits for the preview.
    {
        OfferPeer peer([&] {
            raw_send(call.fd, offers_image_offer("gone.jpg", full));
            seen = raw_read(call.fd, 2, 3000);
            shutdown(call.fd, SHUT_RDWR);
        });
        ASSERT_TRUE(offers_pump_peer(peer, 5000, [] { return app.idle == 1; }));
    }
    EXPECT_EQ(seen, "RF");
    EXPECT_EQ(harness_status(), "User Disconnected.");
    harness_remove_dir(dir);
    offers_end(&call);
}
