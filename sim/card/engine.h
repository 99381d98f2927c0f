// A described card at work: pure, one command APDU in and its response out, with the state a card keeps (the
// selected files, verified PINs, retry counters, changed contents). Its description says what it holds.
//
// Built-in commands (CLA with bit 8 clear): A4 SELECT (P1 00 by FID, 01 child DF, 02 EF, 03 parent, 04 by DF name
// or its start, 08 path from the MF, 09 path from the current DF; P2 00 FCI, 04 FCP, 0C nothing), B0 READ BINARY
// and D6 UPDATE BINARY (offset, or SFI in P1), B2 READ RECORD (P2 = SFI << 3 | 4), CA GET DATA and DA PUT DATA
// (tag P1 P2), 20 VERIFY, 24 CHANGE REFERENCE DATA, 2C RESET RETRY COUNTER, C0 GET RESPONSE. The description's rules
// are checked first; a command nothing answers gets its unknown SW (6D 00 unless said).
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/card/description.h"

namespace ryx::sim::card {

class CardEngine {
public:
    explicit CardEngine(Description description);
    const std::vector<std::uint8_t>& Atr() const { return d_.atr; }
    // Power-on or reset: the MF selected, no PIN verified. Contents and counters stay.
    void Reset();
    [[nodiscard]] std::vector<std::uint8_t> Process(std::span<const std::uint8_t> command);
    // What differs from the description, one line each: "file PATH HEX", "object TAG HEX", "pin REF retries N/M",
    // "pin REF changed", "counter NAME N".
    [[nodiscard]] std::vector<std::string> Changes() const;

private:
    struct Answer {
        std::vector<std::uint8_t> data;
        std::uint16_t sw;
    };
    [[nodiscard]] Answer Execute(std::span<const std::uint8_t> command);
    [[nodiscard]] Answer Select(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data, bool le);
    [[nodiscard]] Answer Binary(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data,
                                std::size_t ne);
    [[nodiscard]] Answer Record(std::uint8_t p1, std::uint8_t p2);
    [[nodiscard]] Answer GetData(std::uint16_t tag);
    [[nodiscard]] Answer PutData(std::uint16_t tag, std::span<const std::uint8_t> data);
    [[nodiscard]] Answer Verify(std::uint8_t p1, std::uint8_t ref, std::span<const std::uint8_t> data);
    [[nodiscard]] Answer Change(std::uint8_t p1, std::uint8_t ref, std::span<const std::uint8_t> data);
    [[nodiscard]] Answer ResetCounter(std::uint8_t p1, std::uint8_t ref, std::span<const std::uint8_t> data);
    // The response-length rules: Le against the data, GET RESPONSE's remainder.
    [[nodiscard]] std::vector<std::uint8_t> Shape(Answer answer, bool hasData, bool hasLe, std::size_t ne);

    bool Allowed(const Access& a) const;
    Pin* FindPin(std::uint8_t ref, std::size_t* index);
    const DataObject* FindObject(std::uint16_t tag) const;
    std::vector<std::uint8_t> ObjectValue(const DataObject& o) const;
    std::size_t Parent(std::size_t file) const;
    std::vector<std::uint8_t> Fcp(std::size_t file, std::uint8_t tag) const;
    std::size_t Child(std::size_t df, std::uint16_t fid) const;
    // SELECT's searches: the first file whose name starts with `name`; the file at `path` (pairs of FID bytes) from
    // the MF (its own FID 3F00 first is allowed) or from the current DF; kNone when there is none.
    std::size_t ByName(std::span<const std::uint8_t> name) const;
    std::size_t ByPath(bool fromMf, std::span<const std::uint8_t> path) const;

    const Description original_;
    Description d_;
    std::vector<unsigned> retries_;      // by PIN
    std::set<std::uint8_t> verified_;    // references verified since the last reset
    std::size_t df_ = 0;                 // the current DF (index into d_.files)
    std::size_t ef_ = kNone;             // the current EF
    std::vector<std::uint8_t> pending_;  // what GET RESPONSE gives next
    std::uint16_t pendingSw_ = 0x9000;   // the SW after the last of it
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
};

}  // namespace ryx::sim::card
