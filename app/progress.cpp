// Progress of a long transfer in the small windows. See header.
#include "progress.h"

#include <chrono>
#include <cstdio>

#include "front.h"
#include "layouts.h"
#include "toolkit.h"
#include "waits.h"

namespace {

int progress_display = 1;
double progress_spent = 0;  // seconds spent updating the display, all runs
void (*progress_observer)(int window) = nullptr;

double progress_now()
{
    return std::chrono::duration<double>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

int progress_hook(void* ctx, int64_t done, int64_t total)
{
    ProgressRun* run = static_cast<ProgressRun*>(ctx);
    run->done = done;
    run->total = total;
    wait_serve_callers();
    // A transfer that is over at its first report was too short to show.
    if (progress_display && (run->shown || done < total)) {
        double start = progress_now();
        if (!run->shown) {
            // The strip's picture keeps its right-hand part plain for these:
            // the figures on its first line, the bar on its second, both
            // short of the cancel button at the right end.
            control_text(PROGRESS_TEXT, 114, 2, 82, 13, "", 0);
            control_progress(PROGRESS_BAR, 114, 16, 80, 5);
            run->shown = 1;
        }
        int value = total > 0 ? int(done * 1000 / total) : 1000;
        control_set_value(PROGRESS_BAR, value);
        std::string text = progress_text(done, total, progress_now() - run->start);
        control_set_text(PROGRESS_TEXT, text.c_str());
        delay_ms(0);
        progress_spent += progress_now() - start;
        if (progress_observer)
            progress_observer(run->window);
    }
    if (front_end && front_end->progress &&
        front_end->progress(done, total, progress_now() - run->start, run->window == WINDOW_SENDING))
        run->abandoned = 1;
    if (ui_abandon_requested(run->window))
        run->abandoned = 1;
    return run->abandoned;
}

void progress_piece(void* ctx, const void* data, std::size_t n)
{
    ProgressRun* run = static_cast<ProgressRun*>(ctx);
    if (run->hasher)
        piece_hasher_feed(run->hasher, data, n);
}

} // namespace

std::string progress_text(int64_t done, int64_t total, double seconds)
{
    int64_t percent = total > 0 ? done * 100 / total : 100;
    char text[64];
    if (seconds < 0.1) {
        std::snprintf(text, sizeof text, "%lld %%", static_cast<long long>(percent));
    } else {
        double speed = double(done) / seconds / 1048576.0;
        std::snprintf(text, sizeof text, "%lld %% \xC2\xB7 %.0f MB/s",
                      static_cast<long long>(percent), speed);
    }
    return text;
}

void progress_begin(ProgressRun* run, int window, PieceHasher* hasher)
{
    run->hooks.progress = progress_hook;
    run->hooks.piece = hasher ? progress_piece : nullptr;
    run->hooks.ctx = run;
    run->hasher = hasher;
    run->window = window;
    run->shown = 0;
    run->abandoned = 0;
    run->start = progress_now();
    run->done = 0;
    run->total = -1;
    // Parent of the controls made by the hook.
    controls_begin(window_handle(window));
}

void progress_set_display(int on)
{
    progress_display = on;
}

void progress_set_observer(void (*observer)(int window))
{
    progress_observer = observer;
}

double progress_display_seconds()
{
    return progress_spent;
}
