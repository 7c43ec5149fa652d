// Cutting star sensor command frames out of the byte stream from a service.
#include "star_framing.h"

#include <gtest/gtest.h>

#include <vector>

using devsim::Bytes;
using devsim::StarCommandFramer;

namespace {

// Feeds `bytes` in chunks of `chunk` bytes and collects everything.
StarCommandFramer::Result feed(StarCommandFramer& f, const Bytes& bytes, std::size_t chunk)
{
    StarCommandFramer::Result all;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t n = std::min(chunk, bytes.size() - at);
        auto r = f.push(bytes.data() + at, n);
        all.skipped += r.skipped;
        for (auto& fr : r.frames) all.frames.push_back(std::move(fr));
    }
    return all;
}

Bytes esd_frame()
{
    Bytes b = {0x74, 0x56, 0x00, 0x01, 0, 0, 0, 0, 0, 0x01};
    b.resize(76, 0x00);
    b.push_back(0xCC);
    return b;
}

}  // namespace

TEST(StarCommandFraming, ChecksumAndLengthRules)
{
    const Bytes q = {0x74, 0xA1, 0x00, 0x00};
    EXPECT_EQ(devsim::star_checksum(q.data(), q.size()), 0x15);
    const Bytes e = esd_frame();
    EXPECT_EQ(devsim::star_checksum(e.data(), 76), 0xCC);  // wraps modulo 256
    EXPECT_EQ(devsim::star_command_length(0xA3), 8u);
    EXPECT_EQ(devsim::star_command_length(0x56), 77u);
    EXPECT_EQ(devsim::star_command_length(0xA1), 5u);
    EXPECT_EQ(devsim::star_command_length(0x74), 5u);
}

TEST(StarCommandFraming, ShortFrameByteByByteCompletesOnlyOnTheLastByte)
{
    StarCommandFramer f;
    const Bytes frame = {0x74, 0xA0, 0x00, 0x00, 0x14};
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        EXPECT_TRUE(f.push(&frame[i], 1).frames.empty()) << "after byte " << i;
        EXPECT_EQ(f.pending(), i + 1);
    }
    auto r = f.push(&frame.back(), 1);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.frames[0].checksum_ok);
    EXPECT_EQ(r.frames[0].bytes, frame);
    EXPECT_EQ(f.pending(), 0u);
}

TEST(StarCommandFraming, GarbageBeforeTheStartByteIsSkipped)
{
    StarCommandFramer f;
    const Bytes stream = {0x00, 0xFF, 0x15, 0xA1, 0x74, 0xA1, 0x00, 0x00, 0x15};
    auto r = feed(f, stream, 2);
    EXPECT_EQ(r.skipped, 4u);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].bytes, (Bytes{0x74, 0xA1, 0x00, 0x00, 0x15}));
    EXPECT_TRUE(r.frames[0].checksum_ok);
}

TEST(StarCommandFraming, BadChecksumFrameIsReportedAndTheNextFrameStillFound)
{
    StarCommandFramer f;
    const Bytes stream = {0x74, 0xA1, 0x00, 0x00, 0x16, 0x74, 0xA1, 0x00, 0x05, 0x1A};
    auto r = feed(f, stream, 3);
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_FALSE(r.frames[0].checksum_ok);
    EXPECT_EQ(r.frames[0].bytes.size(), 5u);
    EXPECT_TRUE(r.frames[1].checksum_ok);
    EXPECT_EQ(r.frames[1].bytes, (Bytes{0x74, 0xA1, 0x00, 0x05, 0x1A}));
}

TEST(StarCommandFraming, TimeFrameIsEightBytesEvenWhenItLooksLikeAShortOne)
{
    StarCommandFramer f;
    // The first five bytes would pass as a short frame's length; the framer
    // must wait for all eight.
    const Bytes time = {0x74, 0xA3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17};
    auto first = f.push(time.data(), 5);
    EXPECT_TRUE(first.frames.empty());
    auto rest = f.push(time.data() + 5, 3);
    ASSERT_EQ(rest.frames.size(), 1u);
    EXPECT_EQ(rest.frames[0].bytes, time);
    EXPECT_TRUE(rest.frames[0].checksum_ok);
}

TEST(StarCommandFraming, DataFrameOfSeventySevenBytesInOddChunks)
{
    for (std::size_t chunk : {1u, 7u, 76u, 77u}) {
        StarCommandFramer f;
        auto r = feed(f, esd_frame(), chunk);
        ASSERT_EQ(r.frames.size(), 1u) << "chunk " << chunk;
        EXPECT_EQ(r.frames[0].bytes, esd_frame());
        EXPECT_TRUE(r.frames[0].checksum_ok);
        EXPECT_EQ(r.skipped, 0u);
    }
}

TEST(StarCommandFraming, DataFrameBytesEqualToTheStartByteDoNotResync)
{
    // 0x74 inside a frame is data, not a new start.
    Bytes frame = {0x74, 0xA9, 0x60, 0x74};
    frame.push_back(devsim::star_checksum(frame.data(), frame.size()));
    StarCommandFramer f;
    auto r = feed(f, frame, 1);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].bytes, frame);
    EXPECT_TRUE(r.frames[0].checksum_ok);
}

TEST(StarCommandFraming, SeveralFramesInOneChunk)
{
    Bytes stream = {0x74, 0xA0, 0x00, 0x00, 0x14};
    const Bytes time = {0x74, 0xA3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17};
    stream.insert(stream.end(), time.begin(), time.end());
    const Bytes esd = esd_frame();
    stream.insert(stream.end(), esd.begin(), esd.end());
    stream.push_back(0x74);  // start of a fourth frame

    StarCommandFramer f;
    auto r = f.push(stream.data(), stream.size());
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(r.frames[0].bytes.size(), 5u);
    EXPECT_EQ(r.frames[1].bytes.size(), 8u);
    EXPECT_EQ(r.frames[2].bytes.size(), 77u);
    EXPECT_EQ(f.pending(), 1u);
    f.reset();
    EXPECT_EQ(f.pending(), 0u);
}
