// Commands before queries on a line that both use.
//
// A service holds its device mutex for a whole query, which takes seconds
// when the device is silent (ten attempts). A command that arrives meanwhile
// waits for the mutex, and std::mutex promises no order: the next query,
// already waiting, may take the line first, and the command waits a whole
// query more, or several. With this, a query about to take the device mutex
// first lets every command that is waiting for it go.
#pragma once

#include <condition_variable>
#include <mutex>

class CommandsFirst {
public:
    // Held by a command from before it waits for the device mutex until after
    // it has released it (declare it before the lock).
    class Turn {
    public:
        explicit Turn(CommandsFirst& gate) : gate_(gate)
        {
            std::lock_guard<std::mutex> lock(gate_.mutex_);
            ++gate_.waiting_;
        }
        ~Turn()
        {
            std::lock_guard<std::mutex> lock(gate_.mutex_);
            if (--gate_.waiting_ == 0) gate_.done_.notify_all();
        }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        CommandsFirst& gate_;
    };

    // Called by a query before it takes the device mutex.
    void let_commands_go_first()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return waiting_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    int waiting_ = 0;
};
