// Helpers of the file and picture suites. See header.
#include "offers_harness_ext.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "md5.h"
#include "state.h"
#include "toolkit.h"

int offers_call_again(OfferCall* call)
{
    raw_close(call->fd);
    call->fd = raw_connect("127.0.0.1", call->port, 3000);
    if (call->fd < 0)
        return 0;
    return pump_until([] { return app.idle == 0; }, 5000);
}

int offers_call_program(OfferCall* call, HarnessConfig config, const char* tag)
{
    call->dir = harness_temp_dir(tag);
    call->port = harness_free_port();
    config.port = call->port;
    harness_write_config(call->dir, config);
    if (!harness_app_start(call->dir))
        return 0;
    return offers_call_again(call);
}

void offers_end(OfferCall* call)
{
    raw_close(call->fd);
    call->fd = -1;
    harness_app_stop();
    harness_remove_dir(call->dir);
}

std::string offers_md5(const std::string& bytes)
{
    Md5 m;
    md5_init(&m);
    md5_update(&m, bytes.data(), bytes.size());
    return md5_final(&m);
}

std::string offers_frame(const std::string& body)
{
    std::string frame = "PBMGSFLE";
    uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i)
        frame += static_cast<char>((n >> (8 * i)) & 0xFF);
    return frame + body;
}

std::string offers_file_offer(const std::string& name, const std::string& body)
{
    return "NAMEJOX" + name + "SIZEJOXsizejox" + std::to_string(body.size()) + "MD5JOX" +
           offers_md5(body);
}

std::string offers_image_offer(const std::string& name, const std::string& body)
{
    return "IMGJOX" + name + "MD5JOX" + offers_md5(body);
}

std::string offers_body(std::size_t n, unsigned seed)
{
    std::string body(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        body[i] = static_cast<char>(x >> 16);
    }
    return body;
}

OfferPeer::OfferPeer(std::function<void()> script)
    : thread([this, script] {
          script();
          finished = true;
      })
{
}

OfferPeer::~OfferPeer()
{
    join();
}

void OfferPeer::join()
{
    if (thread.joinable())
        thread.join();
}

int offers_pump_peer(OfferPeer& peer, int timeout_ms, const std::function<bool()>& also)
{
    int ok = pump_until([&] { return peer.done() && (!also || also()); }, timeout_ms);
    peer.join();
    return ok;
}

void offers_send_slowly(int fd, const std::string& bytes, std::size_t piece, int pause_ms)
{
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (!raw_send(fd, bytes.substr(at, piece)))
            return;
        usleep(pause_ms * 1000);
    }
}

std::string offers_accept_slowly(int fd, const std::string& name, const std::string& body,
                                 std::size_t piece, int pause_ms)
{
    raw_read(fd, 22, 3000);
    raw_read(fd, offers_file_offer(name, body).size(), 3000);
    raw_send(fd, "RF");
    raw_read(fd, 2, 3000);
    raw_send(fd, "a");
    std::string got;
    std::size_t whole = body.size() + 12;
    // Bounded by the frame's size and by a quiet line.
    while (got.size() < whole) {
        std::string more = raw_read(fd, std::min(piece, whole - got.size()), 3000);
        if (more.empty())
            break;
        got += more;
        usleep(pause_ms * 1000);
    }
    return got;
}

std::string offers_chat_log()
{
    return control_get_text(12);
}

int offers_not_executable(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0;
}

std::string offers_screenshot_dir()
{
    std::string dir = JOX_SCREENSHOTS;
    mkdir(dir.c_str(), 0755);
    return dir + "/";
}
