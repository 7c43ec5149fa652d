// Cutting frames out of a byte stream on lines where several frame types
// share a two-byte sync and the leading bytes tell which type, and so which
// length, follows (the optical and vision lines).
//
// A FrameRule looks at a candidate frame one byte longer each time and says
// whether those bytes can still start a frame and, once it knows, how long
// the frame is. A candidate that turns out to be no frame loses its first
// byte (counted as skipped) and the search resumes at its second byte. A
// candidate that reaches its length is checked (its checksum); one that
// fails is reported, so the caller can log and drop it, and the search
// resumes at its second byte too, so that a real frame behind a stray sync
// is not lost. Bytes read a second time after a failed frame are not
// counted as skipped again: they were shown with that frame.
#pragma once

#include "device.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace devsim {

struct FrameRule {
    // Bytes of a candidate, at least one: FRAME_NONE if they start no frame,
    // FRAME_OPEN while the length is not known yet, otherwise the frame's
    // whole length. Asked again for every further byte, so a later byte may
    // still turn the candidate down (a wrong trailer byte).
    long (*shape)(const uint8_t* bytes, std::size_t size);
    // Whether a complete frame's checksum holds.
    bool (*check)(const uint8_t* bytes, std::size_t size);
};

constexpr long FRAME_NONE = -1;
constexpr long FRAME_OPEN = 0;

struct SyncFrame {
    Bytes bytes;
    bool check_ok = false;
    std::size_t skipped_before = 0;  // bytes skipped since the previous frame of the same push
};

class SyncFramer {
public:
    struct Result {
        std::vector<SyncFrame> frames;  // in order
        std::size_t skipped_after = 0;  // skipped after the last frame
    };

    explicit SyncFramer(FrameRule rule) : rule_(rule) {}

    // Bytes in any pieces; frames complete when their last byte arrives.
    Result push(const uint8_t* data, std::size_t size);

    // Forgets a partly received frame.
    void reset()
    {
        partial_.clear();
        shown_.clear();
    }

    // Bytes of the frame being received.
    std::size_t pending() const { return partial_.size(); }

private:
    FrameRule rule_;
    Bytes partial_;
    std::vector<bool> shown_;  // per byte of partial_: read again after a failed frame
};

}  // namespace devsim
