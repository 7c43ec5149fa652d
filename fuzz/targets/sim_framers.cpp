// The simulator's command framers (star, reaction wheel, rate request,
// optical, vision) with any byte stream in any pieces. Whatever the pieces,
// a framer must cut the same frames, with the same checksum verdicts, and
// skip the same number of bytes as when it gets the stream in one piece;
// every frame must have the length its leading bytes announce and the
// checksum verdict its bytes give.
//
// Input: selector byte (framer), piece plan, then the stream.
#include "harness.h"
#include "optical_framing.h"
#include "rate_framing.h"
#include "star_framing.h"
#include "vision_framing.h"
#include "wheel_codec.h"

namespace {

using devsim::Bytes;

struct Cut {
    std::vector<std::pair<Bytes, bool>> frames;  // bytes, checksum verdict
    std::size_t skipped = 0;
};

std::vector<std::size_t> pieces_of(std::size_t total, fuzz::PiecePlan& plan)
{
    std::vector<std::size_t> pieces;
    for (std::size_t off = 0; off < total;) {
        std::size_t n = plan.next(total - off);
        pieces.push_back(n);
        off += n;
    }
    return pieces;
}

template <typename Framer, typename Push>
Cut run(const Bytes& s, const std::vector<std::size_t>& pieces, Push push)
{
    Framer f;
    Cut cut;
    std::size_t off = 0;
    for (std::size_t n : pieces) {
        push(f, s.data() + off, n, cut);
        off += n;
    }
    return cut;
}

void compare(const Cut& whole, const Cut& pieces, const char* framer)
{
    FUZZ_CHECK(whole.frames == pieces.frames, std::string(framer) + ": " + std::to_string(whole.frames.size()) +
                                                  " frames whole, " + std::to_string(pieces.frames.size()) +
                                                  " in pieces");
    FUZZ_CHECK(whole.skipped == pieces.skipped, std::string(framer) + ": skipped " + std::to_string(whole.skipped) +
                                                    " whole, " + std::to_string(pieces.skipped) + " in pieces");
}

template <typename Framer, typename Push, typename Check>
void framer_case(const Bytes& s, fuzz::PiecePlan& plan, const char* name, Push push, Check check)
{
    const Cut whole = run<Framer>(s, {s.size()}, push);
    const Cut cut = run<Framer>(s, pieces_of(s.size(), plan), push);
    compare(whole, cut, name);
    std::size_t framed = 0;
    for (const auto& f : whole.frames) {
        check(f.first, f.second);
        framed += f.first.size();
    }
    (void)framed;
}

// Pushes into a framer whose Result lists frames and a skipped count.
template <typename Framer>
void push_counted(Framer& f, const uint8_t* p, std::size_t n, Cut& cut)
{
    auto r = f.push(p, n);
    for (auto& fr : r.frames) cut.frames.emplace_back(fr.bytes, fr.checksum_ok);
    cut.skipped += r.skipped;
}

// Pushes into a SyncFramer (optical, vision).
template <typename Framer>
void push_sync(Framer& f, const uint8_t* p, std::size_t n, Cut& cut)
{
    auto r = f.push(p, n);
    for (auto& fr : r.frames) {
        cut.frames.emplace_back(fr.bytes, fr.check_ok);
        cut.skipped += fr.skipped_before;
    }
    cut.skipped += r.skipped_after;
}

uint8_t sum(const Bytes& b, std::size_t from, std::size_t to) { return fuzz::sum8_of(b.data() + from, to - from); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ByteReader in(data, size);
    const uint8_t sel = in.u8();
    fuzz::PiecePlan plan(in);
    Bytes s = in.rest();
    switch (sel % 5) {
    case 0:
        framer_case<devsim::StarCommandFramer>(s, plan, "star", push_counted<devsim::StarCommandFramer>,
                                               [](const Bytes& f, bool ok) {
                                                   FUZZ_CHECK(f.size() >= 2 && f[0] == 0x74, "star frame " + fuzz::hex(f));
                                                   FUZZ_CHECK(f.size() == devsim::star_command_length(f[1]),
                                                              "star frame length " + fuzz::hex(f));
                                                   FUZZ_CHECK(ok == (sum(f, 0, f.size() - 1) == f.back()),
                                                              "star verdict " + fuzz::hex(f));
                                               });
        break;
    case 1:
        framer_case<devsim::WheelCommandFramer>(s, plan, "wheel", push_counted<devsim::WheelCommandFramer>,
                                                [](const Bytes& f, bool ok) {
                                                    FUZZ_CHECK(f.size() == 11 && (f[0] == 0x58 || f[0] == 0x59),
                                                               "wheel frame " + fuzz::hex(f));
                                                    FUZZ_CHECK(ok == (sum(f, 0, 10) == f[10]), "wheel verdict " + fuzz::hex(f));
                                                });
        break;
    case 2: {
        // Requests are 55 68; everything else is skipped, a 0x55 that is
        // still waiting for its second byte excepted.
        auto run_rate = [&](const std::vector<std::size_t>& pieces, std::size_t& requests, std::size_t& skipped,
                            bool& pending) {
            devsim::RateRequestFramer f;
            std::size_t off = 0;
            for (std::size_t n : pieces) {
                for (std::size_t i = 0; i < n; ++i) requests += f.push(s[off + i]);
                skipped += f.take_skipped();
                off += n;
            }
            pending = f.pending();
        };
        std::size_t requests = 0, skipped = 0;
        bool pending = false;
        run_rate(pieces_of(s.size(), plan), requests, skipped, pending);
        std::size_t want = 0;
        for (std::size_t i = 0; i + 1 < s.size(); ++i) want += s[i] == 0x55 && s[i + 1] == 0x68;
        const bool want_pending = !s.empty() && s.back() == 0x55;
        FUZZ_CHECK(requests == want, "requests " + std::to_string(requests) + " want " + std::to_string(want));
        FUZZ_CHECK(pending == want_pending, "pending");
        FUZZ_CHECK(skipped == s.size() - 2 * want - (pending ? 1 : 0), "skipped " + std::to_string(skipped));
        break;
    }
    case 3:
        framer_case<devsim::OpticalCommandFramer>(
            s, plan, "optical", push_sync<devsim::OpticalCommandFramer>, [](const Bytes& f, bool ok) {
                FUZZ_CHECK(f.size() >= 5 && f[1] == 0x90, "optical frame " + fuzz::hex(f));
                if (f[0] == 0xCD) {
                    FUZZ_CHECK(f.size() == 5 && f[4] == 0xFF && ok, "optical direct frame " + fuzz::hex(f));
                } else {
                    FUZZ_CHECK(f[0] == 0xEB, "optical frame " + fuzz::hex(f));
                    FUZZ_CHECK(f.size() == (f[2] == 0x0D ? 10u : 8u) && (f[2] == 0x0D || (f[2] >= 1 && f[2] <= 11)),
                               "optical frame length " + fuzz::hex(f));
                    FUZZ_CHECK(ok == (sum(f, 0, f.size() - 1) == f.back()), "optical verdict " + fuzz::hex(f));
                }
            });
        break;
    default:
        framer_case<devsim::VisionCommandFramer>(
            s, plan, "vision", push_sync<devsim::VisionCommandFramer>, [](const Bytes& f, bool ok) {
                FUZZ_CHECK(f.size() >= 6 && f[0] == 0xEB && f[1] == 0x90 && f[3] == 0x00, "vision frame " + fuzz::hex(f));
                FUZZ_CHECK(f[2] == 0x0F || f[2] == 0x1E, "vision kind " + fuzz::hex(f));
                FUZZ_CHECK(f.size() == 6u + f[4], "vision frame length " + fuzz::hex(f));
                FUZZ_CHECK(ok == (sum(f, 2, f.size() - 1) == f.back()), "vision verdict " + fuzz::hex(f));
            });
        break;
    }
    return 0;
}
