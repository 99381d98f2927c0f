// The console's input routines: "%d" number reading, the decided handling of bad input and of the end of input.
#include "console_input.h"

#include "tools_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace ryx_test {
namespace {

struct NumberCase {
    const char* input;
    NumberRead result;
    int32_t value;  // when result is Number
    const char* rest;
};

TEST(ReadDecimalNumber, FormattedInputRules) {
    const NumberCase cases[] = {
        {"1\n", NumberRead::Number, 1, "\n"},
        {"  \n\n\t 42\n", NumberRead::Number, 42, "\n"},                 // white space, newlines included, is skipped
        {"19200abc\nnext\n", NumberRead::Number, 19200, "abc\nnext\n"},  // what follows stays unread
        {"-1\n", NumberRead::Number, -1, "\n"},
        {"+7 8\n", NumberRead::Number, 7, " 8\n"},
        {"007", NumberRead::Number, 7, ""},
        {"2147483647\n", NumberRead::Number, 2147483647, "\n"},
        {"-2147483648\n", NumberRead::Number, INT32_MIN, "\n"},
        {"2147483648\nnext\n", NumberRead::NotANumber, 0, "next\n"},  // too large for 32 bits
        {"-2147483649 x\nnext\n", NumberRead::NotANumber, 0, "next\n"},
        {"99999999999999999999999\n", NumberRead::NotANumber, 0, ""},
        {"abc 1\nnext\n", NumberRead::NotANumber, 0, "next\n"},  // the rest of the line is dropped
        {"-\nnext\n", NumberRead::NotANumber, 0, "next\n"},      // a sign alone: the next line stays
        {"- 1\nnext\n", NumberRead::NotANumber, 0, "next\n"},
        {"", NumberRead::EndOfInput, 0, ""},
        {" \n \n", NumberRead::EndOfInput, 0, ""},
        {"abc", NumberRead::EndOfInput, 0, ""},  // the line ends with the input
        {"-", NumberRead::EndOfInput, 0, ""},
    };
    for (const NumberCase& c : cases) {
        test::TempStream in(c.input);
        int32_t value = 555;
        EXPECT_EQ(ReadDecimalNumber(in.get(), &value), c.result) << '"' << c.input << '"';
        EXPECT_EQ(value, c.result == NumberRead::Number ? c.value : 555) << '"' << c.input << '"';
        EXPECT_EQ(in.Rest(), c.rest) << '"' << c.input << '"';
    }
}

struct Dialogue {
    std::string output;
    bool ok;
    int32_t value;
    std::string rest;
};

Dialogue NumberDialogue(const char* input) {
    test::TempStream in(input);
    test::TempStream out;
    Console console{in.get(), out.get()};
    int32_t value = -1;
    const bool ok = PromptForNumber(console, "Select an option: ", &value);
    return {out.Text(), ok, value, in.Rest()};
}

TEST(PromptForNumber, ReasksAfterALineThatIsNotANumber) {
    Dialogue d = NumberDialogue("3\n");
    EXPECT_EQ(d.output, "Select an option: \n");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.value, 3);
    EXPECT_EQ(d.rest, "\n");

    d = NumberDialogue("x\n99999999999\n2 z\n");
    EXPECT_EQ(d.output, "Select an option: \nSelect an option: \nSelect an option: \n");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.value, 2);
    EXPECT_EQ(d.rest, " z\n");

    d = NumberDialogue("x\n");
    EXPECT_EQ(d.output, "Select an option: \nSelect an option: \n");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.value, -1);

    d = NumberDialogue("");
    EXPECT_EQ(d.output, "Select an option: \n");
    EXPECT_FALSE(d.ok);
}

// One read, never asked again: a read that stores nothing keeps the value and leaves its line for the action tail.
TEST(PromptForValue, ReadsOnceAndKeepsTheValueWhenNothingIsStored) {
    const struct {
        const char* input;
        int32_t value;
        const char* rest;
    } cases[] = {
        {"19200 and the rest\n", 19200, " and the rest\n"},
        {"abc 19200\n\n", 9600, "abc 19200\n\n"},
        {"-\n\n", 9600, "\n\n"},
        {"99999999999 x\n", 9600, " x\n"},
        {"", 9600, ""},
    };
    for (const auto& c : cases) {
        test::TempStream in(c.input);
        test::TempStream out;
        Console console{in.get(), out.get()};
        int32_t value = 9600;
        PromptForValue(console, "Enter a baud rate: ", &value);
        EXPECT_EQ(out.Text(), "Enter a baud rate: \n") << '"' << c.input << '"';
        EXPECT_EQ(value, c.value) << '"' << c.input << '"';
        EXPECT_EQ(in.Rest(), c.rest) << '"' << c.input << '"';
    }
}

Dialogue SlotDialogue(const char* input, uint32_t slotCount) {
    test::TempStream in(input);
    test::TempStream out;
    Console console{in.get(), out.get()};
    int32_t slot = -1;
    const bool ok = PromptForSlot(console, slotCount, &slot);
    return {out.Text(), ok, slot, in.Rest()};
}

TEST(PromptForSlot, AsksUntilTheSlotExistsAndEndsWithOneNewline) {
    Dialogue d = SlotDialogue("2\n-1\nq\n1\n", 2);
    EXPECT_EQ(d.output,
              "Enter a slot number [0 - 1]: Enter a slot number [0 - 1]: "
              "Enter a slot number [0 - 1]: Enter a slot number [0 - 1]: \n");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.value, 1);
    EXPECT_EQ(d.rest, "\n");

    d = SlotDialogue("2\n", 3);
    EXPECT_EQ(d.output, "Enter a slot number [0 - 2]: \n");
    EXPECT_EQ(d.value, 2);

    d = SlotDialogue("5\n", 2);
    EXPECT_EQ(d.output, "Enter a slot number [0 - 1]: Enter a slot number [0 - 1]: \n");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.value, -1);
}

TEST(SkipRestOfLineAndWaitForEnter, ReadWhatTheyShould) {
    test::TempStream in("rest of line\n\nnext");
    test::TempStream out;
    Console console{in.get(), out.get()};
    SkipRestOfLine(console);
    EXPECT_TRUE(WaitForEnter(console));  // takes the single "\n"
    EXPECT_EQ(out.Text(), "Press [Enter] key to continue...\n");
    EXPECT_EQ(in.Rest(), "next");

    test::TempStream one("xy");
    Console second{one.get(), out.get()};
    EXPECT_TRUE(WaitForEnter(second));  // exactly one character, whatever it is
    EXPECT_EQ(one.Rest(), "y");

    test::TempStream empty("");
    Console third{empty.get(), out.get()};
    SkipRestOfLine(third);
    EXPECT_FALSE(WaitForEnter(third));
}

Dialogue NameDialogue(const std::string& input, std::string* name) {
    test::TempStream in(input);
    test::TempStream out;
    Console console{in.get(), out.get()};
    const bool ok = PromptForScriptFileName(console, name);
    return {out.Text(), ok, 0, in.Rest()};
}

TEST(PromptForScriptFileName, DropsTheChoiceLineAndAsksAgainForAnEmptyName) {
    std::string name;
    Dialogue d = NameDialogue("5 rest of the choice line\n\n my script.txt \nafter\n", &name);
    EXPECT_EQ(d.output, "Enter a script filename: Enter a script filename: ");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(name, " my script.txt ");  // spaces are kept
    EXPECT_EQ(d.rest, "after\n");

    d = NameDialogue("\nscript.txt\r\n", &name);
    EXPECT_EQ(name, "script.txt\r");  // nothing but the newline is cut

    d = NameDialogue("\nlast", &name);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(name, "last");

    name = "unchanged";
    d = NameDialogue("\n\n", &name);
    EXPECT_EQ(d.output, "Enter a script filename: Enter a script filename: \n");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(name, "unchanged");
}

TEST(PromptForScriptFileName, OverlongLineIsCutAndItsRestDropped) {
    std::string name;
    const std::string longName(600, 'n');
    const Dialogue d = NameDialogue("\n" + longName + "\nafter\n", &name);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(name, std::string(511, 'n'));
    EXPECT_EQ(d.rest, "after\n");
}

}  // namespace
}  // namespace ryx_test
