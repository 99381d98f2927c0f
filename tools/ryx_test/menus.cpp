#include "menus.h"

#include "hex_dump.h"
#include "names.h"
#include "script_runner.h"
#include "script_senders.h"
#include "stop_request.h"

#include <cstring>
#include <initializer_list>
#include <string>

namespace ryx_test {

namespace {

constexpr const char* kSelectAnOption = "Select an option: ";
constexpr uint32_t kAtrBufferSize = RYX_MAX_ATR_SIZE;

void Print(Console& console, const char* text) {
    std::fputs(text, console.out);
}

// A menu's title, underlined with as many dashes as it has characters, and an empty line.
void PrintTitle(Console& console, const char* title) {
    const std::string rule(std::strlen(title), '-');
    std::fprintf(console.out, "%s\n%s\n\n", title, rule.c_str());
}

// The numbered items from 1 on, one a line, then "0. Exit" and an empty line.
void PrintItems(Console& console, std::initializer_list<std::string> items) {
    int number = 1;
    for (const std::string& item : items) {
        std::fprintf(console.out, "%d. %s\n", number++, item.c_str());
    }
    Print(console, "0. Exit\n\n");
}

// Reports a call that returns nothing but its status: "<call>: OK" or its error line.
void ReportStatus(Console& console, const char* call, uint32_t status) {
    if (status == 0) {
        std::fprintf(console.out, "%s: OK\n", call);
    } else {
        std::fprintf(console.out, "Error: %s failed with error 0x%08X\n", call, status);
    }
}

void ReportFailure(Console& console, const char* call, uint32_t status) {
    std::fprintf(console.out, "Error: %s failed with error 0x%08X\n", call, status);
}

// After an action that called the library: an empty line, the rest of the answer's line dropped, a pause.
// Here and at the top of every menu loop a stop asked for by SIGINT or SIGTERM counts as the end of the input, so
// that input already read ahead is not acted on and the menus unwind to the close.
MenuEnd ActionTail(Console& console) {
    Print(console, "\n");
    if (StopRequested()) {
        return MenuEnd::EndOfInput;
    }
    SkipRestOfLine(console);
    return WaitForEnter(console) ? MenuEnd::Exit : MenuEnd::EndOfInput;
}

// The entry of the Card and Peripheral menus: the slot count read afresh, then a slot asked for. False, with the
// menu's end in *end, when there is no slot to work on (Exit) or the input ended (EndOfInput).
bool ChooseSlot(Console& console, RYX_HANDLE handle, int32_t* slot, MenuEnd* end) {
    *end = MenuEnd::Exit;
    Print(console, "Getting the number of slots...\n");
    uint32_t slotCount = 0;
    const uint32_t status = RYX_GetNumSlots(handle, &slotCount);
    if (status != 0) {
        std::fprintf(console.out, "Error: RYX_GetNumSlots failed with error 0x%08X\n\n", status);
        return false;
    }
    std::fprintf(console.out, "Slots: %d\n\n", static_cast<int>(slotCount));
    // No slot number would be valid: asking for one would never end.
    if (slotCount == 0) {
        Print(console, "Error: The reader has no slots\n\n");
        return false;
    }
    if (!PromptForSlot(console, slotCount, slot)) {
        *end = MenuEnd::EndOfInput;
        return false;
    }
    return true;
}

// One round of a slot's menu: its title, the slot, its items, and the choice read. False at the end of the input
// or after a stop request.
bool AskSlotMenu(Console& console, const char* title, int32_t slot, std::initializer_list<std::string> items,
                 int32_t* choice) {
    if (StopRequested()) {
        return false;
    }
    PrintTitle(console, title);
    std::fprintf(console.out, "Slot %d:\n\n", slot);
    PrintItems(console, items);
    return PromptForNumber(console, kSelectAnOption, choice);
}

// `activity` completes the announcement "Slot %d: <activity>...".
MenuEnd RunScriptAction(Console& console, RYX_HANDLE handle, int32_t slot, const char* activity,
                        const ScriptSender& sender) {
    std::string fileName;
    if (!PromptForScriptFileName(console, &fileName)) {
        return MenuEnd::EndOfInput;
    }
    std::fprintf(console.out, "Slot %d: %s...\n", slot, activity);
    RunScript(handle, static_cast<uint32_t>(slot), fileName.c_str(), sender, console.out);
    Print(console, "\n");
    // The name was read as a whole line: nothing is left to drop before the pause.
    return WaitForEnter(console) ? MenuEnd::Exit : MenuEnd::EndOfInput;
}

MenuEnd PowerOnAction(Console& console, RYX_HANDLE handle, int32_t slot) {
    std::fprintf(console.out, "Slot %d: Powering on the ICC...\n", slot);
    uint8_t atr[kAtrBufferSize] = {};
    uint32_t atrLength = sizeof atr;
    const uint32_t status = RYX_PowerOnIcc(handle, static_cast<uint32_t>(slot), atr, &atrLength);
    if (status != 0) {
        ReportFailure(console, "RYX_PowerOnIcc", status);
    } else {
        Print(console, "ATR:\n");
        PrintHexDump(console.out, atr, atrLength <= sizeof atr ? atrLength : sizeof atr);
    }
    return ActionTail(console);
}

MenuEnd PowerOffAction(Console& console, RYX_HANDLE handle, int32_t slot) {
    std::fprintf(console.out, "Slot %d: Powering off the ICC...\n", slot);
    ReportStatus(console, "RYX_PowerOffIcc", RYX_PowerOffIcc(handle, static_cast<uint32_t>(slot)));
    return ActionTail(console);
}

MenuEnd SetProtocolAction(Console& console, RYX_HANDLE handle, int32_t slot, uint32_t mask) {
    std::fprintf(console.out, "Slot %d: Setting the protocol...\n", slot);
    uint32_t activeProtocol = 0;
    const uint32_t status = RYX_SetProtocol(handle, static_cast<uint32_t>(slot), mask, &activeProtocol);
    if (status != 0) {
        ReportFailure(console, "RYX_SetProtocol", status);
    } else {
        std::fprintf(console.out, "Active Protocol: %s\n", ProtocolName(activeProtocol));
    }
    return ActionTail(console);
}

MenuEnd IccStatusAction(Console& console, RYX_HANDLE handle, int32_t slot) {
    std::fprintf(console.out, "Slot %d: Getting the ICC status...\n", slot);
    uint32_t iccStatus = 0;
    const uint32_t status = RYX_GetIccStatus(handle, static_cast<uint32_t>(slot), &iccStatus);
    if (status != 0) {
        ReportFailure(console, "RYX_GetIccStatus", status);
    } else {
        std::fprintf(console.out, "ICC Status: %s\n", IccStatusName(iccStatus));
    }
    return ActionTail(console);
}

}  // namespace

MenuEnd ModulesMenu(Console& console, RYX_HANDLE handle) {
    int32_t choice = -1;
    for (;;) {
        if (StopRequested()) {
            return MenuEnd::EndOfInput;
        }
        PrintTitle(console, "Modules");
        PrintItems(console, {"Reader", "Card", "Peripheral"});
        if (!PromptForNumber(console, kSelectAnOption, &choice)) {
            return MenuEnd::EndOfInput;
        }
        MenuEnd end = MenuEnd::Exit;
        switch (choice) {
            case 1:
                end = ReaderMenu(console, handle);
                break;
            case 2:
                end = CardMenu(console, handle);
                break;
            case 3:
                end = PeripheralMenu(console, handle);
                break;
            case 0:
                return MenuEnd::Exit;
            default:
                break;
        }
        if (end == MenuEnd::EndOfInput) {
            return end;
        }
    }
}

MenuEnd ReaderMenu(Console& console, RYX_HANDLE handle) {
    int32_t choice = -1;
    for (;;) {
        if (StopRequested()) {
            return MenuEnd::EndOfInput;
        }
        Print(console, "Getting the baud rate...\n");
        uint32_t baudRate = 0;
        const uint32_t status = RYX_GetBaudRate(handle, &baudRate);
        if (status != 0) {
            baudRate = 0;
        }
        ReportStatus(console, "RYX_GetBaudRate", status);
        Print(console, "\n");
        PrintTitle(console, "Reader");
        PrintItems(console, {"Baud Rate (" + std::to_string(static_cast<int>(baudRate)) + " bps)", "Timeouts"});
        if (!PromptForNumber(console, kSelectAnOption, &choice)) {
            return MenuEnd::EndOfInput;
        }
        MenuEnd end = MenuEnd::Exit;
        switch (choice) {
            case 1: {
                int32_t rate = static_cast<int32_t>(baudRate);
                PromptForValue(console, "Enter a baud rate: ", &rate);
                Print(console, "Setting the baud rate...\n");
                // The value goes to the library as typed: the library knows which rates exist.
                ReportStatus(console, "RYX_SetBaudRate", RYX_SetBaudRate(handle, static_cast<uint32_t>(rate)));
                end = ActionTail(console);
                break;
            }
            case 2:
                end = TimeoutsMenu(console, handle);
                break;
            case 0:
                return MenuEnd::Exit;
            default:
                break;
        }
        if (end == MenuEnd::EndOfInput) {
            return end;
        }
    }
}

MenuEnd TimeoutsMenu(Console& console, RYX_HANDLE handle) {
    // The item's label is padded so that the values' parentheses align.
    struct Field {
        const char* label;
        const char* unit;
        const char* prompt;
        uint32_t LinkTimeouts::*member;
    };
    static const Field kFields[] = {
        {"Status Timeout   ", " ms", "Enter a status timeout (ms): ", &LinkTimeouts::statusTimeout},
        {"Status Retries   ", "", "Enter a number of status retries: ", &LinkTimeouts::statusRetries},
        {"Response Timeout ", " ms", "Enter a response timeout (ms): ", &LinkTimeouts::responseTimeout},
        {"Response Retries ", "", "Enter a number of response retries: ", &LinkTimeouts::responseRetries},
    };
    const auto item = [](const Field& field, const LinkTimeouts& timeouts) {
        return std::string(field.label) + "(" + std::to_string(static_cast<int>(timeouts.*field.member)) + field.unit +
               ")";
    };
    int32_t choice = -1;
    for (;;) {
        if (StopRequested()) {
            return MenuEnd::EndOfInput;
        }
        Print(console, "Getting the timeouts...\n");
        LinkTimeouts timeouts = {};
        const uint32_t status = RYX_GetTimeouts(handle, &timeouts);
        if (status != 0) {
            timeouts = {};
        }
        ReportStatus(console, "RYX_GetTimeouts", status);
        Print(console, "\n");
        PrintTitle(console, "Timeouts");
        PrintItems(console, {item(kFields[0], timeouts), item(kFields[1], timeouts), item(kFields[2], timeouts),
                             item(kFields[3], timeouts)});
        if (!PromptForNumber(console, kSelectAnOption, &choice)) {
            return MenuEnd::EndOfInput;
        }
        if (choice == 0) {
            return MenuEnd::Exit;
        }
        if (choice < 1 || choice > 4) {
            continue;
        }
        const Field& field = kFields[choice - 1];
        int32_t value = static_cast<int32_t>(timeouts.*field.member);
        PromptForValue(console, field.prompt, &value);
        timeouts.*field.member = static_cast<uint32_t>(value);
        Print(console, "Setting the timeouts...\n");
        ReportStatus(console, "RYX_SetTimeouts", RYX_SetTimeouts(handle, &timeouts));
        if (ActionTail(console) == MenuEnd::EndOfInput) {
            return MenuEnd::EndOfInput;
        }
    }
}

MenuEnd CardMenu(Console& console, RYX_HANDLE handle) {
    int32_t slot = -1;
    if (MenuEnd end = MenuEnd::Exit; !ChooseSlot(console, handle, &slot, &end)) {
        return end;
    }
    int32_t choice = -1;
    for (;;) {
        if (!AskSlotMenu(console, "Card", slot,
                         {"Power On ICC", "Power Off ICC", "Set Protocol", "Get ICC Status", "Exchange APDU"},
                         &choice)) {
            return MenuEnd::EndOfInput;
        }
        MenuEnd end = MenuEnd::Exit;
        switch (choice) {
            case 1:
                end = PowerOnAction(console, handle, slot);
                break;
            case 2:
                end = PowerOffAction(console, handle, slot);
                break;
            case 3: {
                uint32_t mask = 0;
                end = ProtocolMenu(console, &mask);
                if (end == MenuEnd::Exit && mask != 0) {
                    end = SetProtocolAction(console, handle, slot, mask);
                }
                break;
            }
            case 4:
                end = IccStatusAction(console, handle, slot);
                break;
            case 5:
                end = RunScriptAction(console, handle, slot, "Exchanging the APDU", ApduScriptSender);
                break;
            case 0:
                return MenuEnd::Exit;
            default:
                break;
        }
        if (end == MenuEnd::EndOfInput) {
            return end;
        }
    }
}

MenuEnd ProtocolMenu(Console& console, uint32_t* mask) {
    int32_t choice = -1;
    for (;;) {
        if (StopRequested()) {
            return MenuEnd::EndOfInput;
        }
        PrintTitle(console, "Protocol");
        PrintItems(console, {"T=0", "T=1", "T=0 or T=1"});
        if (!PromptForNumber(console, kSelectAnOption, &choice)) {
            return MenuEnd::EndOfInput;
        }
        // The choices are the masks: 1 T=0, 2 T=1, 3 both; 0 leaves without one.
        if (choice >= 0 && choice <= 3) {
            *mask = static_cast<uint32_t>(choice);
            return MenuEnd::Exit;
        }
    }
}

MenuEnd PeripheralMenu(Console& console, RYX_HANDLE handle) {
    int32_t slot = -1;
    if (MenuEnd end = MenuEnd::Exit; !ChooseSlot(console, handle, &slot, &end)) {
        return end;
    }
    int32_t choice = -1;
    for (;;) {
        if (!AskSlotMenu(console, "Peripheral", slot, {"Control"}, &choice)) {
            return MenuEnd::EndOfInput;
        }
        if (choice == 0) {
            return MenuEnd::Exit;
        }
        if (choice == 1 && RunScriptAction(console, handle, slot, "Sending the escape command", EscapeScriptSender) ==
                               MenuEnd::EndOfInput) {
            return MenuEnd::EndOfInput;
        }
    }
}

}  // namespace ryx_test
