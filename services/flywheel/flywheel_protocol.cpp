#include "flywheel_protocol.h"

#include "byte_order.h"
#include "device_status.h"

#include <cmath>
#include <cstdio>

void cal_cmder_para(double value, double scale, uint8_t* out)
{
    double v = value * scale;
    if (value < 0) v += 4294967296.0;
    // Truncate toward zero; keep only the low 32 bits. Values that do not fit
    // an integer at all (NaN, huge) encode as 0 instead of being undefined.
    double t = std::trunc(v);
    int64_t whole = (t >= -9.0e18 && t <= 9.0e18) ? int64_t(t) : 0;
    store_be32(out, uint32_t(uint64_t(whole)));
}

uint32_t bytes_to_uint32(const uint8_t* bytes) { return load_be32(bytes); }

float cal_message_para(const uint8_t* bytes, int divisor)
{
    return float(double(int32_t(bytes_to_uint32(bytes))) / divisor);
}

uint8_t hardware_id_to_logical_id(uint8_t hardware_id, uint8_t fallback)
{
    if (hardware_id >= 0x11 && hardware_id <= 0x88 && hardware_id % 17 == 0) return uint8_t(hardware_id / 17);
    return fallback;
}

const char* flywheel_strerror(int status) { return device_status_text(FLYWHEEL_STATUS_TEXTS, status); }

void build_flywheel_command(uint8_t cmd, float value1, float value2, uint8_t hardware_id,
                            uint8_t out[FLYWHEEL_CMD_LEN])
{
    out[0] = cmd;
    cal_cmder_para(value1, 1000.0, out + 1);
    cal_cmder_para(value2, 1000.0, out + 5);
    out[9] = hardware_id;
    out[10] = sum8(out, 10);
}

bool flywheel_checksum_ok(const uint8_t* frame) { return sum8(frame + 1, 16) == frame[18]; }

int checksum_verify(const uint8_t* data, int len)
{
    if (data == nullptr || len < 2) return DEV_ERR_PARSE;
    uint8_t sum = len > 3 ? sum8(data + 1, std::size_t(len - 3)) : 0;
    if (sum != data[len - 1]) {
        std::fprintf(stderr, "[ERROR] Checksum error: calculated=0x%x, received=0x%x\n", unsigned(sum),
                     unsigned(data[len - 1]));
        std::fflush(stderr);
        return DEV_ERR_CHECKSUM;
    }
    return DEV_OK;
}

// ---------------------------------------------------------------------------

void FlywheelFrameAssembler::feed(const uint8_t* data, std::size_t size, Clock::time_point now)
{
    if (size == 0) return;
    if (buf_.empty()) head_since_ = now;
    buf_.insert(buf_.end(), data, data + size);
    arrivals_.emplace_back(size, now);
}

void FlywheelFrameAssembler::clear()
{
    buf_.clear();
    arrivals_.clear();
    skip_run_open_ = false;
    spoiled_left_ = 0;
}

void FlywheelFrameAssembler::drop_front(std::size_t n, Clock::time_point now)
{
    n = std::min(n, buf_.size());
    spoiled_left_ -= std::min(n, spoiled_left_);
    buf_.erase(buf_.begin(), buf_.begin() + long(n));
    while (n > 0 && !arrivals_.empty()) {
        std::size_t take = std::min(n, arrivals_.front().first);
        arrivals_.front().first -= take;
        n -= take;
        if (arrivals_.front().first == 0) arrivals_.pop_front();
    }
    head_since_ = now;
}

std::size_t FlywheelFrameAssembler::stale_bytes(Clock::time_point now) const
{
    std::size_t n = 0;
    for (const auto& [count, when] : arrivals_) {
        if (now - when < give_up_) break;
        n += count;
    }
    return n;
}

std::size_t FlywheelFrameAssembler::resync(Clock::time_point now)
{
    // The next 0xFF that starts a frame whose checksum holds, or one whose
    // frame has not fully arrived yet (it may still turn out good).
    std::size_t p = 1;
    for (; p < buf_.size(); ++p) {
        if (buf_[p] != FLYWHEEL_FRAME_HEADER) continue;
        if (buf_.size() - p < FLYWHEEL_FRAME_LEN) break;
        if (flywheel_checksum_ok(&buf_[p])) break;
    }
    drop_front(p, now);
    return p;
}

FlywheelFrameAssembler::Event FlywheelFrameAssembler::next(uint8_t frame[FLYWHEEL_FRAME_LEN], std::size_t& detail,
                                                           Clock::time_point now)
{
    detail = 0;
    if (buf_.empty()) return Event::none;
    if (spoiled_left_ > 0) {
        // Bytes of a spoiled frame already counted: a good frame that starts
        // among them is taken; anything else goes without a second count.
        if (buf_[0] == FLYWHEEL_FRAME_HEADER && buf_.size() < FLYWHEEL_FRAME_LEN) {
            if (now - head_since_ < give_up_) return Event::none;
            ++given_up_;
        } else if (buf_[0] == FLYWHEEL_FRAME_HEADER && flywheel_checksum_ok(buf_.data())) {
            spoiled_left_ = 0;
            std::copy(buf_.begin(), buf_.begin() + FLYWHEEL_FRAME_LEN, frame);
            drop_front(FLYWHEEL_FRAME_LEN, now);
            return Event::frame;
        }
        detail = resync(now);
        return Event::skipped_more;
    }
    if (buf_[0] != FLYWHEEL_FRAME_HEADER) {
        // One run lasts at most the give-up time from its first byte: a
        // line that sends nothing but noise counts a header error for each
        // such stretch, not one for ever.
        const bool continues = skip_run_open_ && now - run_start_ <= give_up_;
        if (!continues) run_start_ = now;
        detail = resync(now);
        // Skipped to the end of what has arrived: the run may go on in the
        // next read.
        skip_run_open_ = buf_.empty();
        return continues ? Event::skipped_more : Event::header;
    }
    skip_run_open_ = false;
    if (buf_.size() < FLYWHEEL_FRAME_LEN) {
        if (now - head_since_ < give_up_) return Event::none;
        // The abandoned frame and everything that has waited as long; then
        // on to the next plausible header among the newer bytes.
        ++given_up_;
        const std::size_t stale = std::max<std::size_t>(stale_bytes(now), 1);
        drop_front(stale - 1, now);
        detail = stale - 1 + resync(now);
        return Event::incomplete;
    }
    if (!flywheel_checksum_ok(buf_.data())) {
        detail = FLYWHEEL_FRAME_LEN;
        std::copy(buf_.begin(), buf_.begin() + FLYWHEEL_FRAME_LEN, frame);
        const std::size_t skipped = resync(now);
        // What is left of this frame (it may hold more 0xFF) is counted now.
        spoiled_left_ = skipped < FLYWHEEL_FRAME_LEN ? FLYWHEEL_FRAME_LEN - skipped : 0;
        return Event::checksum;
    }
    std::copy(buf_.begin(), buf_.begin() + FLYWHEEL_FRAME_LEN, frame);
    drop_front(FLYWHEEL_FRAME_LEN, now);
    return Event::frame;
}
