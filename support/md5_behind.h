// MD5 worked out on a thread of its own, behind the one that feeds it, so a
// receiver stores a body and hashes it at the same time on two cores. The
// feeder waits only for its own machine: when more than LIMIT bytes are
// queued (a few milliseconds of hashing), and when it asks for the state.
#pragma once

#include "md5.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class Md5Behind {
public:
    static constexpr std::size_t LIMIT = 8 << 20;
    static constexpr std::size_t BLOCK = 1 << 20;

    // Goes on from `start` (a fresh or a saved state).
    explicit Md5Behind(const Md5& start);
    ~Md5Behind();
    Md5Behind(const Md5Behind&) = delete;
    Md5Behind& operator=(const Md5Behind&) = delete;

    void feed(const char* data, std::size_t n);
    // The state after every byte fed so far.
    Md5 state();

private:
    void run();
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    std::size_t queued_ = 0;
    int busy_ = 0;       // the thread hashes a block taken off the queue
    int stop_ = 0;
    Md5 md5_;
    std::thread thread_;
};
