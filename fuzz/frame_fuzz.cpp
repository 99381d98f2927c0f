// libFuzzer harness for the frame logic of the reader link: the response assembler fed arbitrary byte streams in
// arbitrary chunks, the frame checks on arbitrary bytes, and built frames that must validate and come back whole.
//
// Input: byte 0 flags (bit 0: read straight into the assembler's storage where it offers that, as the frame
// exchange does; bit 1: take the frame delimiters from bytes 1 and 2 instead of 02/03), bytes 1-2 the delimiters,
// bytes 3-4 the storage size (modulo 1100), byte 5 the number n of chunk sizes (modulo 32), then n chunk sizes
// (0 to 255, used in turn; 64 when n is 0), then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_input.h"
#include "link/frame.h"
#include "link/response_assembler.h"

namespace {

using Progress = ryx::ResponseAssembler::Progress;
using Bytes = std::vector<std::uint8_t>;

// A heap block of exactly size bytes, so that AddressSanitizer sees any access beyond it.
std::unique_ptr<std::uint8_t[]> Exact(std::size_t size) {
    return std::make_unique<std::uint8_t[]>(size);
}

// The frame length that the first 11 received bytes announce: dwLength (frame bytes 2-5, little-endian) + 13.
std::uint64_t AnnouncedTotal(const Bytes& received) {
    return (std::uint64_t{received[2]} | (std::uint64_t{received[3]} << 8) | (std::uint64_t{received[4]} << 16) |
            (std::uint64_t{received[5]} << 24)) +
           13;
}

// What the checks say of a frame, worked out here byte by byte.
bool ExpectValid(std::span<const std::uint8_t> frame, std::uint8_t start, std::uint8_t end) {
    if (frame.size() <= 3 || frame.front() != start || frame.back() != end) {
        return false;
    }
    std::uint8_t check = 0;
    for (std::size_t i = 1; i + 2 < frame.size(); ++i) {
        check ^= frame[i];
    }
    return check == frame[frame.size() - 2];
}

// The payload a valid frame carries: the bytes between the start byte and the check byte, as the frame exchange
// hands them on. Checked against the frame's own check byte.
void CheckPayload(std::span<const std::uint8_t> frame) {
    const auto payload = frame.subspan(1, frame.size() - ryx::kFrameOverhead);
    RYX_FUZZ_REQUIRE(payload.data() == frame.data() + 1);
    RYX_FUZZ_REQUIRE(payload.data() + payload.size() + 2 == frame.data() + frame.size());
    RYX_FUZZ_REQUIRE(ryx::FrameCheckByte(payload) == frame[frame.size() - 2]);
}

// One chunk into the assembler: straight into its storage when asked and offered (at most what it is missing),
// as the frame exchange reads long frames, else through Feed. Returns the progress, sets *taken to the number of
// stream bytes consumed and *wasDirect to the path taken.
Progress FeedOne(ryx::ResponseAssembler& assembler, std::span<const std::uint8_t> chunk, bool direct,
                 std::size_t* taken, bool* wasDirect) {
    const std::span<std::uint8_t> missing = assembler.Missing();
    *wasDirect = direct && !missing.empty();
    if (*wasDirect) {
        const std::size_t n = std::min(chunk.size(), missing.size());
        if (n != 0) {
            std::memcpy(missing.data(), chunk.data(), n);
        }
        *taken = n;
        return assembler.FeedStored(n);
    }
    *taken = chunk.size();
    return assembler.Feed(chunk);
}

// Feeds stream to an assembler over storageSize bytes of exact heap storage, chunk by chunk, and checks every step
// against a plain model: everything received kept in order, the total known from the first 11 bytes.
// Returns the final progress and, for kComplete, the frame in *frame.
Progress Assemble(std::span<const std::uint8_t> stream, std::size_t storageSize, const Bytes& chunkSizes, bool direct,
                  Bytes* frame) {
    const auto storage = Exact(storageSize);
    ryx::ResponseAssembler assembler(std::span<std::uint8_t>(storage.get(), storageSize));
    assembler.Reset();
    RYX_FUZZ_REQUIRE(assembler.Received() == 0 && !assembler.TotalKnown() && assembler.Frame().empty());

    Bytes received;
    std::size_t pos = 0;
    std::size_t turn = 0;
    Progress progress = Progress::kIncomplete;
    // Empty chunks are fed as they come, but every round of the sizes moves on by at least one byte.
    const bool anyNonZero = std::any_of(chunkSizes.begin(), chunkSizes.end(), [](std::uint8_t b) { return b != 0; });
    while (pos < stream.size()) {
        const std::size_t want = !anyNonZero ? 64 : chunkSizes[turn % chunkSizes.size()];
        ++turn;
        const auto chunk = stream.subspan(pos, std::min(want, stream.size() - pos));
        std::size_t taken = 0;
        bool wasDirect = false;
        progress = FeedOne(assembler, chunk, direct, &taken, &wasDirect);
        RYX_FUZZ_REQUIRE(taken <= chunk.size());
        received.insert(received.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(taken));
        pos += taken;

        RYX_FUZZ_REQUIRE(assembler.Received() == received.size());
        const bool totalKnown = received.size() >= ryx::kResponseLengthKnownAfter;
        RYX_FUZZ_REQUIRE(assembler.TotalKnown() == totalKnown);
        const std::uint64_t total = totalKnown ? AnnouncedTotal(received) : 0;
        if (totalKnown) {
            RYX_FUZZ_REQUIRE(assembler.Total() == total);
        }
        const bool tooLong = received.size() > storageSize;  // an announcement alone refuses nothing
        const bool complete = !tooLong && totalKnown && received.size() >= total;
        RYX_FUZZ_REQUIRE(progress == (tooLong    ? Progress::kTooLong
                                      : complete ? Progress::kComplete
                                                 : Progress::kIncomplete));
        if (progress == Progress::kIncomplete) {
            // Stored as received; the bytes of this chunk are compared here, all of them at the end.
            const auto stored = assembler.Frame();
            RYX_FUZZ_REQUIRE(stored.size() == received.size());
            RYX_FUZZ_REQUIRE(std::equal(stored.end() - static_cast<std::ptrdiff_t>(taken), stored.end(),
                                        received.end() - static_cast<std::ptrdiff_t>(taken)));
            continue;
        }
        if (progress == Progress::kComplete) {
            // The frame is complete in this chunk and not before: its length matches the announced one, with at
            // most the rest of the last chunk after it.
            RYX_FUZZ_REQUIRE(received.size() - taken < total);
            // Read straight into the storage, a frame never takes more than it lacked.
            RYX_FUZZ_REQUIRE(!wasDirect || received.size() == total);
            const auto stored = assembler.Frame();
            RYX_FUZZ_REQUIRE(stored.size() == received.size() && stored.size() <= storageSize);
            RYX_FUZZ_REQUIRE(stored.data() == storage.get());
            RYX_FUZZ_REQUIRE(std::equal(stored.begin(), stored.end(), received.begin()));
            frame->assign(stored.begin(), stored.end());
        }
        // Final: what follows changes nothing.
        const Bytes after(stream.begin() + static_cast<std::ptrdiff_t>(pos), stream.end());
        const Bytes more = after.empty() ? Bytes{0x02, 0x03} : after;
        const auto before = assembler.Frame();
        const Bytes kept(before.begin(), before.end());
        RYX_FUZZ_REQUIRE(assembler.Feed(more) == progress);
        std::size_t ignored = 0;
        bool ignoredPath = false;
        RYX_FUZZ_REQUIRE(FeedOne(assembler, more, true, &ignored, &ignoredPath) == progress);
        RYX_FUZZ_REQUIRE(assembler.Received() == received.size());
        const auto now = assembler.Frame();
        RYX_FUZZ_REQUIRE(now.size() == kept.size() && std::equal(now.begin(), now.end(), kept.begin()));
        return progress;
    }
    const auto stored = assembler.Frame();
    RYX_FUZZ_REQUIRE(stored.size() == received.size());
    RYX_FUZZ_REQUIRE(std::equal(stored.begin(), stored.end(), received.begin()));
    return progress;
}

// The checks on arbitrary bytes: the response frame check, the status frame check and the repeat request.
void CheckFrameChecks(std::span<const std::uint8_t> stream, std::uint8_t start, std::uint8_t end) {
    for (std::size_t size : {stream.size(), std::min<std::size_t>(stream.size(), 13)}) {
        const auto copy = Exact(size);
        if (size != 0) {
            std::memcpy(copy.get(), stream.data(), size);
        }
        const std::span<const std::uint8_t> frame(copy.get(), size);
        const bool valid = ryx::IsValidFrame(frame, start, end);
        RYX_FUZZ_REQUIRE(valid == ExpectValid(frame, start, end));
        if (valid) {
            CheckPayload(frame);
        }
    }
    if (stream.size() >= ryx::kStatusFrameSize) {
        const auto status = Exact(ryx::kStatusFrameSize);
        std::memcpy(status.get(), stream.data(), ryx::kStatusFrameSize);
        const std::span<const std::uint8_t, ryx::kStatusFrameSize> s(status.get(), ryx::kStatusFrameSize);
        RYX_FUZZ_REQUIRE(ryx::IsAcceptedStatusFrame(s, start, end) ==
                         (s[0] == start && s[1] == 0x00 && s[2] == 0x00 && s[3] == end));
    }
    const auto repeat = Exact(ryx::kRepeatRequestSize);
    ryx::BuildRepeatRequest(start, end, repeat.get());
    const std::span<const std::uint8_t> r(repeat.get(), ryx::kRepeatRequestSize);
    RYX_FUZZ_REQUIRE(r.front() == start && r.back() == end);
    RYX_FUZZ_REQUIRE(std::all_of(r.begin() + 1, r.end() - 1, [](std::uint8_t b) { return b == 0; }));
    RYX_FUZZ_REQUIRE(ryx::IsValidFrame(r, start, end));
}

// A frame built from any non-empty payload validates and gives the payload back; one built around a reply header whose
// dwLength matches its data is assembled whole from any chunking, and refused by storage one byte too small.
void CheckRoundTrip(std::span<const std::uint8_t> stream, std::uint8_t start, std::uint8_t end, const Bytes& chunkSizes,
                    bool direct) {
    const std::size_t n = stream.size();
    const auto payload = Exact(n);
    if (n != 0) {
        std::memcpy(payload.get(), stream.data(), n);
    }
    const std::size_t frameSize = n + ryx::kFrameOverhead;
    const auto frame = Exact(frameSize);
    ryx::BuildCommandFrame(std::span<const std::uint8_t>(payload.get(), n), start, end, frame.get());
    const std::span<const std::uint8_t> built(frame.get(), frameSize);
    RYX_FUZZ_REQUIRE(built.front() == start && built.back() == end);
    // A frame must be longer than its three framing bytes, so only an empty payload gives one that is refused.
    RYX_FUZZ_REQUIRE(ryx::IsValidFrame(built, start, end) == (n != 0));
    if (n == 0) {
        return;
    }
    RYX_FUZZ_REQUIRE(std::memcmp(built.data() + 1, payload.get(), n) == 0);
    CheckPayload(built);

    if (n < 10 || start != 0x02 || end != 0x03) {
        return;
    }
    // A reply message: its header announces exactly the data that follows it.
    Bytes reply(stream.begin(), stream.end());
    const auto dataLength = static_cast<std::uint32_t>(n - 10);
    for (int i = 0; i < 4; ++i) {
        reply[1 + i] = static_cast<std::uint8_t>(dataLength >> (8 * i));
    }
    Bytes wire(reply.size() + ryx::kFrameOverhead);
    ryx::BuildCommandFrame(reply, start, end, wire.data());
    Bytes assembled;
    RYX_FUZZ_REQUIRE(Assemble(wire, wire.size(), chunkSizes, direct, &assembled) == Progress::kComplete);
    RYX_FUZZ_REQUIRE(assembled == wire);
    RYX_FUZZ_REQUIRE(ryx::IsValidFrame(assembled, start, end));
    RYX_FUZZ_REQUIRE(std::equal(reply.begin(), reply.end(), assembled.begin() + 1));
    RYX_FUZZ_REQUIRE(Assemble(wire, wire.size() - 1, chunkSizes, direct, &assembled) == Progress::kTooLong);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ryx::fuzz::FuzzInput input(data, size);
    const std::uint8_t flags = input.Byte();
    const bool direct = (flags & 0x01) != 0;
    const std::uint8_t delimiter1 = input.Byte();
    const std::uint8_t delimiter2 = input.Byte();
    const std::uint8_t start = (flags & 0x02) != 0 ? delimiter1 : 0x02;
    const std::uint8_t end = (flags & 0x02) != 0 ? delimiter2 : 0x03;
    const std::size_t storageSize = input.U16() % 1100;
    const std::size_t chunkCount = input.Byte() % 32;
    const auto sizes = input.Take(chunkCount);
    const Bytes chunkSizes(sizes.begin(), sizes.end());
    const auto stream = input.Rest();

    Bytes frame;
    if (Assemble(stream, storageSize, chunkSizes, direct, &frame) == Progress::kComplete) {
        const bool valid = ryx::IsValidFrame(frame, start, end);
        RYX_FUZZ_REQUIRE(valid == ExpectValid(frame, start, end));
        if (valid) {
            CheckPayload(frame);
        }
    }
    CheckFrameChecks(stream, start, end);
    CheckRoundTrip(stream, start, end, chunkSizes, direct);
    return 0;
}
