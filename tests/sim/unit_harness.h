// Driving an optical or vision unit in process: bytes in, in pieces, with
// its log lines and answers kept in one ordered record.
#pragma once

#include "device.h"
#include "sync_framer.h"

#include <algorithm>
#include <string>
#include <vector>

template <class Unit>
struct UnitHarness {
    explicit UnitHarness(unsigned index = 0) : unit(index, [this](const std::string& s) { log.push_back(s); }) {}

    // Feeds `bytes` in pieces of `chunk` (0: whole) at time `t`; an answer
    // shows in the log as "<summary>".
    std::vector<devsim::Answer> send(const devsim::Bytes& bytes, double t = 0.0, std::size_t chunk = 0)
    {
        std::vector<devsim::Answer> answers;
        if (chunk == 0) chunk = bytes.size();
        for (std::size_t at = 0; at < bytes.size(); at += chunk)
            unit.receive(bytes.data() + at, std::min(chunk, bytes.size() - at), t, [&](devsim::Answer a) {
                log.push_back("<" + a.summary + ">");
                answers.push_back(std::move(a));
            });
        return answers;
    }

    Unit unit;
    std::vector<std::string> log;
};

// What a framer cuts from `stream` fed in pieces of `chunk`.
struct Framed {
    std::vector<devsim::SyncFrame> frames;
    std::size_t skipped = 0;
};

inline Framed frame_all(devsim::SyncFramer& framer, const devsim::Bytes& stream, std::size_t chunk)
{
    Framed all;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        auto r = framer.push(stream.data() + at, std::min(chunk, stream.size() - at));
        for (auto& f : r.frames) {
            all.skipped += f.skipped_before;
            all.frames.push_back(std::move(f));
        }
        all.skipped += r.skipped_after;
    }
    return all;
}

inline devsim::Bytes join(const std::vector<devsim::Bytes>& parts)
{
    devsim::Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline devsim::Bytes slice(const devsim::Bytes& b, std::size_t at, std::size_t n)
{
    return devsim::Bytes(b.begin() + long(at), b.begin() + long(at + n));
}
