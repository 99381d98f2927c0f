// A cheap look at a serial line before the driver opens a reader on it: does anything answer there at any rate?
// The open's own rate scan takes about ten seconds on a silent line and cannot be cut short; this look takes under a
// second, ends at once when asked to, and lets the driver notice a reader within about two seconds of its answering.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ryx::pcsc {

/**
 * The reader's firmware-version query (escape E0 00 00 18 00, slot 0, sequence number 0) as a command frame:
 * 02, the 15-byte message, the XOR of the message, 03. Pure.
 */
[[nodiscard]] std::vector<std::uint8_t> FirmwareQueryFrame();

/** Where a reader's answer to a command ends in the bytes received after it. */
struct AnswerShape {
    bool status = false;  // a status frame (02 s s 03) is there: something that speaks the reader's protocol answers
    std::size_t end = 0;  // the answer's length once known: the status frame's end when it refused the command, else
                          // the end of the response frame after it once that frame's header is in; 0 until then
};

/** Finds the status frame in `received` and, after one that accepted the command, the response frame's length. Pure. */
[[nodiscard]] AnswerShape ShapeOfAnswer(std::span<const std::uint8_t> received);

enum class LineProbe : std::uint8_t {
    kAnswers,     // a status frame came back at some rate: a reader is there; the port is closed again
    kSilent,      // no status frame at any rate
    kCannotOpen,  // the port cannot be opened, locked or set (missing, in use, not a serial device)
    kStopped,     // `stop` was set; the port is closed again
};

/**
 * Sends the firmware query once at each rate of the reader's table, from 9600 to 500000 bit/s, waiting a short
 * while at each for a status frame. Takes the port as the library does (exclusive lock), so a port in use is left
 * alone; on return the port is closed, with anything an answering reader still sent read and discarded, so the
 * library's open finds a quiet line. Takes about a second on a silent line; returns within about 50 ms of `stop`
 * being set.
 * @param path the device path.
 * @param stop set by another thread to end the probe early.
 */
[[nodiscard]] LineProbe ProbeLine(const std::string& path, const std::atomic<bool>& stop);

}  // namespace ryx::pcsc
