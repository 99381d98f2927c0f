#include "menus.h"

#include "action_calls.h"
#include "actions.h"
#include "script_runner.h"
#include "script_senders.h"
#include "stop_request.h"

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ryx_test {

namespace {

constexpr const char* kSelectAnOption = "Select an option: ";

void Print(Console& console, const char* text) {
    std::fputs(text, console.out);
}

// A menu's title, underlined with as many dashes as it has characters, and an empty line.
void PrintTitle(Console& console, const char* title) {
    const std::string rule(std::strlen(title), '-');
    std::fprintf(console.out, "%s\n%s\n\n", title, rule.c_str());
}

// The numbered items from 1 on, one a line, then "0. Exit" and an empty line.
void PrintItems(Console& console, const std::vector<std::string>& items) {
    int number = 1;
    for (const std::string& item : items) {
        std::fprintf(console.out, "%d. %s\n", number++, item.c_str());
    }
    Print(console, "0. Exit\n\n");
}

void ReportFailure(Console& console, const char* call, uint32_t status) {
    std::fprintf(console.out, "Error: %s failed with error 0x%08X\n", call, status);
}

// Reports a call that returns nothing but its status: "<call>: OK" or its error line.
void ReportStatus(Console& console, const char* call, uint32_t status) {
    if (status == 0) {
        std::fprintf(console.out, "%s: OK\n", call);
    } else {
        ReportFailure(console, call, status);
    }
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

// One menu: what it shows and what its items do. The loop below runs every menu of the console.
struct Menu {
    const char* title = "";
    int32_t slot = -1;  // >= 0: "Slot N:" is shown under the title
    // Prints what goes before the title (values queried afresh) and returns the items, numbered from 1.
    std::function<std::vector<std::string>()> items;
    // Acts on item `choice` (1 to the number of items); its EndOfInput leaves every menu.
    std::function<MenuEnd(int32_t choice)> choose;
    bool leaveAfterChoice = false;  // a choice also leaves the menu, as 0 does
};

// Shows the menu and acts on the choices until 0 (Exit), the end of the input or a stop request. An unknown
// number shows the menu again.
MenuEnd RunMenu(Console& console, const Menu& menu) {
    int32_t choice = -1;
    for (;;) {
        if (StopRequested()) {
            return MenuEnd::EndOfInput;
        }
        const std::vector<std::string> items = menu.items();
        PrintTitle(console, menu.title);
        if (menu.slot >= 0) {
            std::fprintf(console.out, "Slot %d:\n\n", menu.slot);
        }
        PrintItems(console, items);
        if (!PromptForNumber(console, kSelectAnOption, &choice)) {
            return MenuEnd::EndOfInput;
        }
        if (choice == 0) {
            return MenuEnd::Exit;
        }
        if (choice < 0 || static_cast<size_t>(choice) > items.size()) {
            continue;
        }
        if (menu.choose(choice) == MenuEnd::EndOfInput) {
            return MenuEnd::EndOfInput;
        }
        if (menu.leaveAfterChoice) {
            return MenuEnd::Exit;
        }
    }
}

// The values a menu shows are read afresh before each display: the announcement, the call's status line and an
// empty line. A value that cannot be read shows as 0.
template <typename Value, typename Get>
void ShowValueQuery(Console& console, const char* announcement, const char* call, Value* value, Get get) {
    Print(console, announcement);
    const uint32_t status = get();
    if (status != 0) {
        *value = {};
    }
    ReportStatus(console, call, status);
    Print(console, "\n");
}

// The items of a menu that shows no values.
std::function<std::vector<std::string>()> FixedItems(std::vector<std::string> items) {
    return [items = std::move(items)]() { return items; };
}

Action ActionOf(ActionKind kind) {
    return Action{kind, {}, {}, {}, 0, {}};
}

// An action that makes one call: the call's failure is reported on the console.
MenuEnd CallAction(Console& console, RYX_HANDLE handle, int32_t slot, const Action& action) {
    const uint32_t status = PerformAction(handle, static_cast<uint32_t>(slot), action, console.out);
    if (status != 0) {
        ReportFailure(console, EntryOf(action.kind).call, status);
    }
    return ActionTail(console);
}

MenuEnd RunScriptAction(Console& console, RYX_HANDLE handle, int32_t slot, ActionKind kind) {
    std::string fileName;
    if (!PromptForScriptFileName(console, &fileName)) {
        return MenuEnd::EndOfInput;
    }
    Announce(EntryOf(kind), static_cast<uint32_t>(slot), console.out);
    RunScript(handle, static_cast<uint32_t>(slot), fileName.c_str(), ScriptSenderOf(kind), console.out);
    Print(console, "\n");
    // The name was read as a whole line: nothing is left to drop before the pause.
    return WaitForEnter(console) ? MenuEnd::Exit : MenuEnd::EndOfInput;
}

// The action of a slot's menu item; Set Protocol asks for the protocols first.
MenuEnd SlotAction(Console& console, RYX_HANDLE handle, int32_t slot, ActionKind kind) {
    if (IsScript(kind)) {
        return RunScriptAction(console, handle, slot, kind);
    }
    Action action = ActionOf(kind);
    if (kind == ActionKind::Protocol) {
        const MenuEnd end = ProtocolMenu(console, &action.value);
        if (end != MenuEnd::Exit || action.value == 0) {
            return end;
        }
    }
    return CallAction(console, handle, slot, action);
}

// The Card and Peripheral menus: a slot asked for, then the actions' items on it.
MenuEnd SlotMenu(Console& console, RYX_HANDLE handle, const char* title, std::vector<ActionKind> kinds) {
    int32_t slot = -1;
    if (MenuEnd end = MenuEnd::Exit; !ChooseSlot(console, handle, &slot, &end)) {
        return end;
    }
    Menu menu;
    menu.title = title;
    menu.slot = slot;
    std::vector<std::string> items;
    for (ActionKind kind : kinds) {
        items.emplace_back(EntryOf(kind).menuItem);
    }
    menu.items = FixedItems(std::move(items));
    menu.choose = [&](int32_t choice) {
        return SlotAction(console, handle, slot, kinds[static_cast<size_t>(choice - 1)]);
    };
    return RunMenu(console, menu);
}

}  // namespace

MenuEnd ModulesMenu(Console& console, RYX_HANDLE handle) {
    Menu menu;
    menu.title = "Modules";
    menu.items = FixedItems({"Reader", "Card", "Peripheral"});
    menu.choose = [&](int32_t choice) {
        static MenuEnd (*const kSubmenus[])(Console&, RYX_HANDLE) = {ReaderMenu, CardMenu, PeripheralMenu};
        return kSubmenus[choice - 1](console, handle);
    };
    return RunMenu(console, menu);
}

MenuEnd ReaderMenu(Console& console, RYX_HANDLE handle) {
    uint32_t baudRate = 0;
    Menu menu;
    menu.title = "Reader";
    menu.items = [&]() {
        ShowValueQuery(console, "Getting the baud rate...\n", "RYX_GetBaudRate", &baudRate,
                       [&]() { return RYX_GetBaudRate(handle, &baudRate); });
        return std::vector<std::string>{"Baud Rate (" + std::to_string(static_cast<int>(baudRate)) + " bps)",
                                        "Timeouts"};
    };
    menu.choose = [&](int32_t choice) {
        if (choice == 2) {
            return TimeoutsMenu(console, handle);
        }
        int32_t rate = static_cast<int32_t>(baudRate);
        PromptForValue(console, "Enter a baud rate: ", &rate);
        // The value goes to the library as typed: the library knows which rates exist.
        Action action = ActionOf(ActionKind::Baud);
        action.value = static_cast<uint32_t>(rate);
        return CallAction(console, handle, -1, action);
    };
    return RunMenu(console, menu);
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
    LinkTimeouts timeouts = {};
    Menu menu;
    menu.title = "Timeouts";
    menu.items = [&]() {
        ShowValueQuery(console, "Getting the timeouts...\n", "RYX_GetTimeouts", &timeouts,
                       [&]() { return RYX_GetTimeouts(handle, &timeouts); });
        std::vector<std::string> items;
        for (const Field& field : kFields) {
            items.push_back(std::string(field.label) + "(" + std::to_string(static_cast<int>(timeouts.*field.member)) +
                            field.unit + ")");
        }
        return items;
    };
    menu.choose = [&](int32_t choice) {
        const Field& field = kFields[choice - 1];
        int32_t value = static_cast<int32_t>(timeouts.*field.member);
        PromptForValue(console, field.prompt, &value);
        timeouts.*field.member = static_cast<uint32_t>(value);
        Action action = ActionOf(ActionKind::Timeouts);
        action.timeouts = {timeouts.statusTimeout, timeouts.statusRetries, timeouts.responseTimeout,
                           timeouts.responseRetries};
        return CallAction(console, handle, -1, action);
    };
    return RunMenu(console, menu);
}

MenuEnd CardMenu(Console& console, RYX_HANDLE handle) {
    return SlotMenu(
        console, handle, "Card",
        {ActionKind::PowerOn, ActionKind::PowerOff, ActionKind::Protocol, ActionKind::Status, ActionKind::Script});
}

MenuEnd ProtocolMenu(Console& console, uint32_t* mask) {
    // The choices are the masks: 1 T=0, 2 T=1, 3 both; 0 leaves without one.
    *mask = 0;
    Menu menu;
    menu.title = "Protocol";
    menu.items = FixedItems({"T=0", "T=1", "T=0 or T=1"});
    menu.choose = [mask](int32_t choice) {
        *mask = static_cast<uint32_t>(choice);
        return MenuEnd::Exit;
    };
    menu.leaveAfterChoice = true;
    return RunMenu(console, menu);
}

MenuEnd PeripheralMenu(Console& console, RYX_HANDLE handle) {
    return SlotMenu(console, handle, "Peripheral", {ActionKind::EscapeScript});
}

}  // namespace ryx_test
