// The mapping of ryx statuses to IFD codes.
#include <gtest/gtest.h>

#include <set>

#include <ryx.h>

#include "pcsc/status_map.h"

namespace ryx::pcsc {
namespace {

// Every status ryx.h defines has its row, once.
TEST(StatusTable, HasEveryStatusOfTheApiOnce) {
    const std::uint32_t documented[] = {RYX_SUCCESS,
                                        RYX_ERROR_FILE_NOT_FOUND,
                                        RYX_ERROR_ACCESS_DENIED,
                                        RYX_ERROR_INVALID_HANDLE,
                                        RYX_ERROR_NOT_ENOUGH_MEMORY,
                                        RYX_ERROR_GEN_FAILURE,
                                        RYX_ERROR_INVALID_PARAMETER,
                                        RYX_ERROR_INSUFFICIENT_BUFFER,
                                        RYX_ERROR_INVALID_NAME,
                                        RYX_ERROR_NO_MEDIA_IN_DRIVE,
                                        RYX_ERROR_IO_DEVICE,
                                        RYX_ERROR_TIMEOUT,
                                        RYX_ERROR_UNRECOGNIZED_MEDIA,
                                        RYX_E_PROTO_MISMATCH,
                                        RYX_W_UNSUPPORTED_CARD,
                                        RYX_W_UNRESPONSIVE_CARD,
                                        RYX_W_UNPOWERED_CARD,
                                        RYX_W_REMOVED_CARD};
    std::multiset<std::uint32_t> inTable;
    for (const StatusMapping& m : StatusTable()) inTable.insert(m.status);
    for (std::uint32_t s : documented) EXPECT_EQ(inTable.count(s), 1u) << std::hex << s;
    EXPECT_EQ(inTable.size(), std::size(documented));
}

struct MapCase {
    std::uint32_t status;
    Operation operation;
    RESPONSECODE expected;
};

TEST(MapStatus, GivesTheCodePcscdActsOn) {
    const MapCase cases[] = {
        {RYX_SUCCESS, Operation::kGeneral, IFD_SUCCESS},
        {RYX_SUCCESS, Operation::kProtocol, IFD_SUCCESS},
        // Card gone: pcscd shows the slot empty.
        {RYX_W_REMOVED_CARD, Operation::kGeneral, IFD_ICC_NOT_PRESENT},
        {RYX_W_REMOVED_CARD, Operation::kPresence, IFD_ICC_NOT_PRESENT},
        {RYX_ERROR_NO_MEDIA_IN_DRIVE, Operation::kGeneral, IFD_ICC_NOT_PRESENT},  // from RYX_Control
        // The reader stops answering: only the presence poll calls it gone.
        {RYX_ERROR_GEN_FAILURE, Operation::kPresence, IFD_NO_SUCH_DEVICE},
        {RYX_ERROR_GEN_FAILURE, Operation::kGeneral, IFD_COMMUNICATION_ERROR},
        {RYX_ERROR_GEN_FAILURE, Operation::kPower, IFD_COMMUNICATION_ERROR},
        {RYX_ERROR_FILE_NOT_FOUND, Operation::kGeneral, IFD_NO_SUCH_DEVICE},
        {RYX_ERROR_IO_DEVICE, Operation::kPresence, IFD_NO_SUCH_DEVICE},
        {RYX_ERROR_ACCESS_DENIED, Operation::kGeneral, IFD_COMMUNICATION_ERROR},
        // Mute card: a time-out, but a card in the slot for the poll.
        {RYX_ERROR_TIMEOUT, Operation::kGeneral, IFD_RESPONSE_TIMEOUT},
        {RYX_ERROR_TIMEOUT, Operation::kPresence, IFD_ICC_PRESENT},
        {RYX_ERROR_INSUFFICIENT_BUFFER, Operation::kGeneral, IFD_ERROR_INSUFFICIENT_BUFFER},
        // Power actions: every card-side failure is a failed power action.
        {RYX_W_UNRESPONSIVE_CARD, Operation::kPower, IFD_ERROR_POWER_ACTION},
        {RYX_W_REMOVED_CARD, Operation::kPower, IFD_ERROR_POWER_ACTION},
        {RYX_ERROR_INSUFFICIENT_BUFFER, Operation::kPower, IFD_ERROR_POWER_ACTION},
        // Protocol selection: an unoffered protocol, and everything else.
        {RYX_E_PROTO_MISMATCH, Operation::kProtocol, IFD_PROTOCOL_NOT_SUPPORTED},
        {RYX_W_UNPOWERED_CARD, Operation::kProtocol, IFD_ERROR_PTS_FAILURE},
        {RYX_W_UNSUPPORTED_CARD, Operation::kProtocol, IFD_ERROR_PTS_FAILURE},
        {RYX_ERROR_TIMEOUT, Operation::kProtocol, IFD_ERROR_PTS_FAILURE},
        {RYX_ERROR_GEN_FAILURE, Operation::kProtocol, IFD_ERROR_PTS_FAILURE},
        {RYX_W_REMOVED_CARD, Operation::kProtocol, IFD_ERROR_PTS_FAILURE},
        // System errors of the port, not in the table.
        {RYX_ERROR_SYSTEM_BIT | 71u, Operation::kGeneral, IFD_COMMUNICATION_ERROR},
        {RYX_ERROR_SYSTEM_BIT | 71u, Operation::kPresence, IFD_COMMUNICATION_ERROR},
        {RYX_ERROR_SYSTEM_BIT | 71u, Operation::kProtocol, IFD_ERROR_PTS_FAILURE},
    };
    for (const MapCase& c : cases) {
        EXPECT_EQ(MapStatus(c.status, c.operation), c.expected)
            << "status 0x" << std::hex << c.status << " operation " << static_cast<int>(c.operation);
    }
}

// Whatever the operation, only success maps to IFD_SUCCESS, and no failure becomes "card present" outside the poll.
TEST(MapStatus, NoFailureLooksLikeSuccess) {
    for (const StatusMapping& m : StatusTable()) {
        if (m.status == RYX_SUCCESS) continue;
        for (Operation op : {Operation::kGeneral, Operation::kPower, Operation::kPresence, Operation::kProtocol}) {
            EXPECT_NE(MapStatus(m.status, op), IFD_SUCCESS) << m.name;
            if (op != Operation::kPresence) {
                EXPECT_NE(MapStatus(m.status, op), IFD_ICC_PRESENT) << m.name;
            }
        }
    }
}

// The log names the code and its meaning.
TEST(DescribeStatus, GivesTheCodeAndItsMeaning) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {RYX_ERROR_GEN_FAILURE, "0x0000001F (the reader did not answer)"},
        {RYX_ERROR_ACCESS_DENIED, "0x00000005 (the port is in use or access is denied)"},
        {RYX_W_REMOVED_CARD, "0xA0100069 (no card in the slot)"},
        {RYX_ERROR_SYSTEM_BIT | 71u, "0x20000047 (system error 71: Protocol error)"},
        {0x1234u, "0x00001234 (a status this driver does not know)"},
    };
    for (const auto& [status, text] : cases) EXPECT_EQ(DescribeStatus(status), text);
    for (const StatusMapping& m : StatusTable()) EXPECT_STRNE(m.meaning, "") << m.name;
}

}  // namespace
}  // namespace ryx::pcsc
