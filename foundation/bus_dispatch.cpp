#include "bus_dispatch.h"

#include <exception>

DispatchQueue::DispatchQueue(bool merge_repeats, LogFunction log)
    : merge_repeats_(merge_repeats), log_(std::move(log))
{
    thread_ = std::thread([this] { run(); });
}

DispatchQueue::~DispatchQueue() { close(); }

bool DispatchQueue::push(const Handler& handler, BusEnvelope message)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return false;
        if (merge_repeats_) {
            for (const auto& waiting : queue_) {
                if (waiting.first == &handler && waiting.second == message) {
                    ++merged_;
                    return false;
                }
            }
        }
        queue_.emplace_back(&handler, std::move(message));
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
        auto [handler, message] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            (*handler)(message);
        } catch (const std::exception& e) {
            if (log_) log_(std::string("[ERROR] Bus callback failed: ") + e.what());
        } catch (...) {
            if (log_) log_("[ERROR] Bus callback failed");
        }
        lock.lock();
    }
}
