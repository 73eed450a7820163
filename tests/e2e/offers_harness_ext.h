// Helpers of the file and picture suites on top of the end-to-end harness:
// the program in its own folder with a raw peer on the line, the wire forms
// of offers and frames, and a raw peer script that runs on its own thread
// beside the program's loop (the program's waits hold the loop, so the peer
// has to answer from elsewhere).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "harness.h"

// A program started by offers_call_program and the raw caller on its line.
struct OfferCall {
    std::string dir;  // the program's working folder, ending in "/"
    int port = 0;     // where it listens
    int fd = -1;      // the raw peer's socket
};

// Starts the program in a fresh folder with `config` (its port is chosen
// here) and connects a raw caller; 1 once the program shows the call.
int offers_call_program(OfferCall* call, HarnessConfig config, const char* tag);
// Connects a further raw caller to the running program (after a call ended).
int offers_call_again(OfferCall* call);
// Closes the raw peer, stops the program, removes its folder.
void offers_end(OfferCall* call);

std::string offers_md5(const std::string& bytes);
std::string offers_frame(const std::string& body);
std::string offers_file_offer(const std::string& name, const std::string& body);
std::string offers_image_offer(const std::string& name, const std::string& body);
// A repeatable body of `n` bytes that is not all one value.
std::string offers_body(std::size_t n, unsigned seed);

// The raw peer's script on its own thread. Done once it has returned.
class OfferPeer {
public:
    explicit OfferPeer(std::function<void()> script);
    ~OfferPeer();
    bool done() const { return finished.load(); }
    void join();
private:
    std::atomic<bool> finished{false};
    std::thread thread;
};

// Pumps the program until the peer's script has finished (and `also`, when
// given, holds); 1 when both happened within `timeout_ms`.
int offers_pump_peer(OfferPeer& peer, int timeout_ms,
                     const std::function<bool()>& also = nullptr);

// Sends `bytes` in pieces of `piece` bytes with `pause_ms` between them;
// stops early when the line breaks.
void offers_send_slowly(int fd, const std::string& bytes, std::size_t piece, int pause_ms);
// The raw peer's side of one plain file sent by the program: the selecting
// notice and the offer of `body` as `name`, "RF", "SD", "a", then the frame
// taken in pieces of `piece` bytes with `pause_ms` between them, until all of
// it or the line's end. What arrived of the frame.
std::string offers_accept_slowly(int fd, const std::string& name, const std::string& body,
                                 std::size_t piece, int pause_ms);

// The chat log's whole text.
std::string offers_chat_log();
// 1 when the file at `path` has no execute permission for anyone.
int offers_not_executable(const std::string& path);
// Screenshot folder (made when missing), ending in "/".
std::string offers_screenshot_dir();
