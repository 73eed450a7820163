// Fuzz target: a stranger's whole side of a call. The real program runs
// in-process (offscreen, automatic acceptance on, short time limits); each
// input is one call from a loopback peer whose bytes arrive in receives cut
// at points the input chooses. Aborts when anything appears in the working
// folder besides the settings, the preview and the received-files folder,
// when that folder holds anything but plain files, or when the program
// cannot take the next call.
//
// Input: a sequence of chunks, each one length byte (0-255) and that many
// bytes; a short last chunk takes what is left.
#include "app.h"
#include "launch.h"
#include "net.h"
#include "state.h"
#include "toolkit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string fuzz_dir;     // working folder, ends in "/"
std::string fuzz_inbox;   // received-files folder, ends in "/"
int fuzz_port = 0;

void fuzz_answer(const char*, const char*)
{
    ui_test_queue_message_answer(IDYES);
}

int fuzz_never_run(const char*, const char*, const char*, int)
{
    return 1;
}

int fuzz_free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

void fuzz_start()
{
    char tmpl[] = "/tmp/jox-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    fuzz_dir = std::string(tmpl) + "/";
    fuzz_inbox = fuzz_dir + "inbox/";
    fuzz_port = fuzz_free_port();
    std::string cfg = "Folder = " + fuzz_inbox + "\r\nIP = \r\nPort = " + std::to_string(fuzz_port) +
                      "\r\nAuto Accept = Yes\r\nOpen File = Yes\r\nTimeout = 1\r\nNickname = fuzz\r\n";
    FILE* f = std::fopen((fuzz_dir + "jox.cfg").c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(cfg.data(), 1, cfg.size(), f);
    std::fclose(f);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("JOX_HOME", fuzz_dir.c_str(), 1);
    if (chdir(fuzz_dir.c_str()) != 0) std::abort();
    ui_test_set_message_observer(fuzz_answer);
    run_program_set_hook(fuzz_never_run);
    if (!app_startup()) std::abort();
    net_set_timeouts(300, 300, 300);
    // The program runs until the target stops: its open connections are let
    // go before the tables holding them are destroyed, or LeakSanitizer takes
    // a caller still connected at that moment for a lost one.
    std::atexit([] { net_shutdown(); });
}

void fuzz_check_folders()
{
    DIR* d = opendir(fuzz_dir.c_str());
    if (!d) std::abort();
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n != "jox.cfg" && n != "JOXTemp.jpg" && n != "inbox" &&
            n != "alert1.wav" && n.rfind("jox-error-report", 0) != 0) {
            std::fprintf(stderr, "stored outside the received-files folder: %s\n", n.c_str());
            std::abort();
        }
    }
    closedir(d);
    d = opendir(fuzz_inbox.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string path = fuzz_inbox + n;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111)) {
            std::fprintf(stderr, "not a plain file in the received-files folder: %s\n", n.c_str());
            std::abort();
        }
        unlink(path.c_str());  // keeps the folder small over a long run
    }
    closedir(d);
}

// The peer's side: sends each chunk as its own send, a moment apart so
// that each arrives as a receive of its own, reads whatever the program
// answers, and hangs up at the end.
void fuzz_peer(int fd, const uint8_t* data, size_t size, std::atomic<int>* done)
{
    char drain[4096];
    size_t at = 0;
    while (at < size) {
        size_t len = data[at++];
        if (len > size - at) len = size - at;
        if (len && send(fd, data + at, len, MSG_NOSIGNAL) < 0) break;
        at += len;
        usleep(2000);
        while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
    }
    shutdown(fd, SHUT_WR);
    *done = 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (fuzz_dir.empty()) fuzz_start();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(fuzz_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    for (int pass = 0; pass < 50 && app.idle; ++pass) app_pass();
    if (app.idle) {
        std::fprintf(stderr, "a fresh caller was not taken\n");
        std::abort();
    }
    std::atomic<int> done{0};
    std::thread peer(fuzz_peer, fd, data, size, &done);
    // The program runs until the peer is through and the call has ended;
    // libFuzzer's own time-out catches a program held by the peer's bytes.
    while (!done || !app.idle) {
        app_pass();
        if (done && !app.idle && app.peer_connection == nullptr) break;
    }
    peer.join();
    close(fd);
    for (int pass = 0; pass < 50 && !app.idle; ++pass) app_pass();
    if (!app.idle) {
        std::fprintf(stderr, "the call outlived its connection\n");
        std::abort();
    }
    fuzz_check_folders();
    return 0;
}
