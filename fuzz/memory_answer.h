// An answer for the in-memory line (tests/support/memory_line.h), cut into
// the pieces the input's plan gives, the pieces `max_gap_ms` apart at most
// (the plan chooses) and the whole answer within `whole_within_us`.
#pragma once

#include "harness.h"
#include "support/memory_line.h"

#include <algorithm>

namespace fuzz {

inline MemoryLine::Step answer_in_pieces(const std::vector<uint8_t>& answer, PiecePlan& plan, int max_gap_ms,
                                         long whole_within_us)
{
    MemoryLine::Step step;
    step.answer = answer;
    for (std::size_t left = answer.size(); left > 0;) {
        const std::size_t n = plan.next(left);
        step.pieces.push_back(n);
        left -= n;
    }
    const long gap_us = long(plan.next(255) % std::size_t(max_gap_ms + 1)) * 1000;
    const long pieces = std::max<long>(1, long(step.pieces.size()));
    step.gap = std::chrono::microseconds(std::min(gap_us, whole_within_us / pieces));
    return step;
}

}  // namespace fuzz
