// A scripted reader on the master side of a PtyPair: a thread that cuts the host's byte stream into frames,
// records each, and answers it with prepared bytes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "support/pty_pair.h"

namespace ryx::test {

using Bytes = std::vector<std::uint8_t>;

// The answer to one host frame: chunks written in order. Each chunk after the first is written once the host
// has taken the one before (best effort, bounded), so the host sees the chunk boundaries. No chunks: silence.
using Answer = std::vector<Bytes>;

// Computes the answer to the host's frame number index (counted from 0). Runs on the peer thread.
using Responder = std::function<Answer(std::size_t index, const Bytes& frame)>;

class ScriptedPeer {
public:
    // Starts the peer on pty's master. Host frames are cut by their header: a start byte, then the payload's
    // 32-bit little-endian length field at frame bytes 2..5; the frame is that length + 13 bytes. The pty must
    // outlive the peer.
    ScriptedPeer(PtyPair& pty, Responder responder);
    // Answers frame i with script[i]; frames beyond the script are recorded and not answered.
    ScriptedPeer(PtyPair& pty, std::vector<Answer> script);
    // Stops and joins the thread.
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Waits until count frames have arrived and been answered, at most bound. True when they have.
    [[nodiscard]] bool WaitForFrames(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10));
    // Waits, at most bound, until every byte the host has written so far has been read and handled by the peer,
    // so that Frames() is final for a host call that has returned. True when settled.
    [[nodiscard]] bool Settle(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // The frames the host has sent so far, in order.
    [[nodiscard]] std::vector<Bytes> Frames() const;
    // Every byte the host has sent so far, including any that do not yet form a whole frame.
    [[nodiscard]] Bytes Received() const;

private:
    void Run();
    void WriteAnswer(const Answer& answer);
    bool WriteAll(const Bytes& bytes);

    PtyPair& pty_;
    Responder responder_;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Bytes> frames_;
    std::size_t answered_ = 0;
    bool busy_ = false;  // between taking bytes off the master and having answered them
    Bytes received_;
    std::thread thread_;
};

// The frame a reader sends for payload: 0x02, payload, XOR of the payload, 0x03. Built by the simulator's codec,
// not the library's, so that tests check the library's framing rather than restate it.
[[nodiscard]] Bytes MakeFrame(const Bytes& payload);

// The accepting status frame 02 00 00 03.
[[nodiscard]] Bytes StatusAccepted();

// Concatenation, for answers that mix frames with other bytes.
[[nodiscard]] Bytes Join(std::initializer_list<Bytes> parts);

// A reply message: 10-byte header (dwLength = data size) and data.
[[nodiscard]] Bytes ReplyMessage(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t status,
                                 std::uint8_t error, std::uint8_t byte9, const Bytes& data = {});

// The reply message to a command frame (start byte first): type, the command's slot and sequence, status 0, data.
[[nodiscard]] Bytes ReplyTo(const Bytes& commandFrame, std::uint8_t type, const Bytes& data);

// The data of the reader's answer to the firmware-version escape: E1 00 00 00, the text's length, the text.
[[nodiscard]] Bytes FirmwareReply(const std::string& text = "KT4470RS 1.07");

}  // namespace ryx::test
