// The picture offer: a small JPEG preview travels before the receiving user
// decides, and is shown in the "Accept Image?" window with "&Yes" and "&No".
// Accepted pictures then travel, are stored and verified like any file.
//
// The sending side makes the preview before it offers anything: a picture
// it cannot load goes as a plain file, and the preview follows "RF" at once.
#include "offers.h"

#include <fcntl.h>
#include <unistd.h>

#include "calls.h"
#include "files.h"
#include "frame.h"
#include "image.h"
#include "layouts.h"
#include "net.h"
#include "offer_names.h"
#include "offer_steps.h"
#include "state.h"
#include "toolkit.h"
#include "waits.h"

namespace {

enum { IMAGE_SCALED = 111, IMAGE_PREVIEW = 112 };
// The preview follows "RF" at once; a peer that makes it only then still
// gets this long for a large picture.
constexpr int OFFER_PREVIEW_WAIT_SECONDS = 30;

// Writes the preview of send_path. 0 when the picture cannot be loaded,
// scaled or saved.
int offer_make_preview()
{
    if (!image_load(IMAGE_SCALED, app.send_path.c_str()))
        return 0;
    int w = 0, h = 0;
    offer_preview_size(image_width(IMAGE_SCALED), image_height(IMAGE_SCALED), &w, &h);
    int ok = w > 0 && h > 0 &&
             (w == image_width(IMAGE_SCALED) && h == image_height(IMAGE_SCALED)
                  ? 1 : image_resize(IMAGE_SCALED, w, h)) &&
             image_save(IMAGE_SCALED, OFFER_PREVIEW_FILE, IMAGE_JPEG, 7);
    image_free(IMAGE_SCALED);
    return ok;
}

// Writes the received preview where the window reads it. 0 when it cannot
// be stored (a folder of that name, a read-only working folder).
int offer_store_preview(const std::string& preview)
{
    delete_file(OFFER_PREVIEW_FILE);
    int fd = open(OFFER_PREVIEW_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return 0;
    std::size_t done = 0;
    // Bounded by the preview's size: each pass writes something or stops.
    while (done < preview.size()) {
        ssize_t n = write(fd, preview.data() + done, preview.size() - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    return close(fd) == 0 && done == preview.size();
}

// Opens the "Accept Image?" window around the received preview (none
// shown when it is not `usable`).
void offer_show_question(int usable)
{
    window_set_state(WINDOW_MAIN, STATE_RESTORE);
    build_accept_image_window(app.version_title.c_str());
    window_set_topmost(WINDOW_ACCEPT_IMAGE, 1);
    int w = 0, h = 0;
    app.image_question_call = app.call_number;
    if (usable && image_load(IMAGE_PREVIEW, OFFER_PREVIEW_FILE)) {
        // A stranger's preview can be any size; the window shows what fits
        // the box every preview is made for.
        int fw = 0, fh = 0;
        offer_preview_size(image_width(IMAGE_PREVIEW), image_height(IMAGE_PREVIEW), &fw, &fh);
        if (image_width(IMAGE_PREVIEW) > 150 || image_height(IMAGE_PREVIEW) > 130)
            image_resize(IMAGE_PREVIEW, fw, fh);
        w = image_width(IMAGE_PREVIEW);
        h = image_height(IMAGE_PREVIEW);
    }
    AcceptImageLayout layout = offer_accept_image_layout(w, h);
    controls_begin(window_handle(WINDOW_ACCEPT_IMAGE));
    control_image(15, layout.image_x, layout.image_y, 144, 47, image_handle(IMAGE_PREVIEW),
                  IMAGE_SUNKEN);
    control_button(29, 100, layout.buttons_y, 70, 24, "&No");
    control_button(30, 20, layout.buttons_y, 70, 24, "&Yes");
    window_resize(WINDOW_ACCEPT_IMAGE, KEEP, KEEP, KEEP, layout.inner_height);
}

} // namespace

void offer_image()
{
    long long size = 0;
    std::string md5;
    if (!offer_prepare(&size, &md5))
        return;
    if (!offer_make_preview()) {
        offer_file_prepared(size, md5);
        return;
    }
    std::string offer = "IMGJOX" + app.send_name + "MD5JOX" + md5;
    if (wait_send(offer.c_str()) <= 0) {
        delete_file(OFFER_PREVIEW_FILE);
        return;
    }
    status("Sending Files...");
    int ready = wait_for_rf();
    ready = ready && net_send_file(app.peer_connection, OFFER_PREVIEW_FILE) == 1;
    int end = net_frame_end();
    delete_file(OFFER_PREVIEW_FILE);
    if (!ready && !offer_call_ended() && !app.offer_failed && end != NET_FRAME_UNTOUCHED &&
        !wait_peer_closed()) {
        offer_end_out_of_step(end, 0);
        return;
    }
    if (!ready) {
        if (!offer_call_ended() && !app.offer_failed && wait_peer_closed()) {
            peer_gone();
        }
        return;
    }
    offer_answer_and_send();
}

void on_image_offer(const std::string& text)
{
    offer_take(text, offer_parse_image);
    wait_send("RF");
    control_disable(6, 1);
    control_disable(14, 1);
    control_disable(13, 1);
    status("Receiving File...");
    int result = wait_for_peer(WAIT_ASKING, NET_FILE, OFFER_PREVIEW_WAIT_SECONDS, nullptr);
    if (result != WAIT_OK) {
        wait_end_call(result);
        return;
    }
    // The preview is taken off whole whatever becomes of it, so its bytes
    // are never read as the picture's.
    std::string preview;
    int64_t size = -1;
    if (!offer_take_frame(&preview, OFFER_PREVIEW_LIMIT, &size)) {
        if (!app.idle)
            call_controls_on();
        return;
    }
    int usable = size >= 0 && std::size_t(size) <= OFFER_PREVIEW_LIMIT &&
                 offer_store_preview(preview);
    if (app.auto_accept == "Yes")
        offer_accept();
    else
        offer_show_question(usable);
}

void on_image_answer(int control)
{
    if (!window_handle(WINDOW_ACCEPT_IMAGE))
        return;
    window_close(WINDOW_ACCEPT_IMAGE);
    // The call may have ended while the question was up.
    if (app.idle || app.image_question_call != app.call_number)
        return;
    if (control == 30)
        offer_accept();
    else if (control == 29)
        offer_decline();
}
