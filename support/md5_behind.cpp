// The hashing thread and its queue.
#include "md5_behind.h"

Md5Behind::Md5Behind(const Md5& start) : md5_(start)
{
    thread_ = std::thread([this] { run(); });
}

Md5Behind::~Md5Behind()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = 1;
    }
    changed_.notify_all();
    thread_.join();
}

void Md5Behind::feed(const char* data, std::size_t n)
{
    if (n == 0) return;
    std::unique_lock<std::mutex> g(lock_);
    changed_.wait(g, [this] { return queued_ < LIMIT; });
    // Small pieces join the last block, so the thread wakes per megabyte.
    if (queue_.empty() || queue_.back().size() + n > BLOCK) queue_.emplace_back();
    queue_.back().append(data, n);
    queued_ += n;
    g.unlock();
    changed_.notify_all();
}

Md5 Md5Behind::state()
{
    std::unique_lock<std::mutex> g(lock_);
    changed_.wait(g, [this] { return queue_.empty() && !busy_; });
    return md5_;
}

void Md5Behind::run()
{
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        changed_.wait(g, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;  // what is left is nobody's any more
        std::string block = std::move(queue_.front());
        queue_.pop_front();
        busy_ = 1;
        g.unlock();
        md5_update(&md5_, block.data(), block.size());
        g.lock();
        busy_ = 0;
        queued_ -= block.size();
        changed_.notify_all();
    }
}
