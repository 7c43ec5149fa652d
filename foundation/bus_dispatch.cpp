#include "bus_dispatch.h"

#include <algorithm>
#include <exception>

DispatchQueue::DispatchQueue(Handler handler, bool merge_repeats, LogFunction log)
    : handler_(std::move(handler)), merge_repeats_(merge_repeats), log_(std::move(log))
{
    thread_ = std::thread([this] { run(); });
}

DispatchQueue::~DispatchQueue() { close(); }

bool DispatchQueue::push(BusEnvelope message)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return false;
        if (merge_repeats_ && std::find(queue_.begin(), queue_.end(), message) != queue_.end()) {
            ++merged_;
            return false;
        }
        queue_.push_back(std::move(message));
    }
    wake_.notify_one();
    return true;
}

void DispatchQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        queue_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

std::size_t DispatchQueue::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::uint64_t DispatchQueue::merged() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return merged_;
}

void DispatchQueue::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (closing_) return;
        BusEnvelope message = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            handler_(message);
        } catch (const std::exception& e) {
            if (log_) log_(std::string("[ERROR] Bus callback failed: ") + e.what());
        } catch (...) {
            if (log_) log_("[ERROR] Bus callback failed");
        }
        lock.lock();
    }
}
