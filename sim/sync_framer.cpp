#include "sync_framer.h"

#include <deque>
#include <utility>

namespace devsim {
namespace {

struct Pending {
    uint8_t byte;
    bool shown;
};

}  // namespace

SyncFramer::Result SyncFramer::push(const uint8_t* data, std::size_t size)
{
    Result result;
    std::size_t skipped = 0;
    std::deque<Pending> todo;
    for (std::size_t i = 0; i < size; ++i) todo.push_back({data[i], false});

    // Puts the candidate's bytes after its first back in front of the rest.
    auto read_again = [&](bool shown) {
        for (std::size_t i = partial_.size(); i-- > 1;) todo.push_front({partial_[i], shown || shown_[i]});
        partial_.clear();
        shown_.clear();
    };

    while (!todo.empty()) {
        const Pending next = todo.front();
        todo.pop_front();
        partial_.push_back(next.byte);
        shown_.push_back(next.shown);

        const long shape = rule_.shape(partial_.data(), partial_.size());
        if (shape == FRAME_NONE) {
            if (!shown_[0]) ++skipped;
            read_again(false);
            continue;
        }
        if (shape == FRAME_OPEN || partial_.size() < std::size_t(shape)) continue;

        SyncFrame frame;
        frame.bytes = partial_;
        frame.check_ok = rule_.check(partial_.data(), partial_.size());
        frame.skipped_before = skipped;
        skipped = 0;
        if (frame.check_ok) {
            partial_.clear();
            shown_.clear();
        } else {
            read_again(true);
        }
        result.frames.push_back(std::move(frame));
    }
    result.skipped_after = skipped;
    return result;
}

}  // namespace devsim
