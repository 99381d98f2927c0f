// The console's input routines: numbers, the slot prompt, the pause and the script file name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ryx_test {

/** The console's two streams. Output is flushed before every read so that a transcript stays in order. */
struct Console {
    std::FILE* in;
    std::FILE* out;
};

/** What one attempt to read a decimal number gave. */
enum class NumberRead {
    Number,      ///< a value was stored; whatever followed its digits is still unread
    NotANumber,  ///< no value; the rest of the offending line has been dropped
    EndOfInput,  ///< the input ended before a value
};

/**
 * Reads one decimal integer by the rules of formatted "%d" input: white space (newlines included) is skipped,
 * then an optional sign and digits are taken and the first character after them is left unread. Input that is
 * not a number, or a number outside the 32-bit signed range, stores nothing and drops the rest of its line.
 * @param value out; written only for NumberRead::Number.
 */
NumberRead ReadDecimalNumber(std::FILE* in, int32_t* value);

/**
 * Prints `prompt`, reads a number and prints "\n". A line that is not a number is dropped and the prompt shown
 * again.
 * @param value out; written only on success.
 * @return false when the input has ended (after printing "\n"); the caller then leaves every menu.
 */
bool PromptForNumber(Console& console, const char* prompt, int32_t* value);

/**
 * Prints `prompt`, makes one "%d" read into *value and prints "\n". A read that stores nothing (not a number, a
 * number beyond 32 bits, the end of the input) leaves *value as it was and the rest of the line unread, for the
 * action tail that follows to drop; it is not asked again.
 */
void PromptForValue(Console& console, const char* prompt, int32_t* value);

/**
 * Asks "Enter a slot number [0 - %d]: " until a slot below `slotCount` is entered, then prints "\n" (once).
 * Values out of range and lines that are not numbers ask again. `slotCount` must not be 0.
 * @param slot out; written only on success.
 * @return false when the input has ended (after printing "\n").
 */
bool PromptForSlot(Console& console, uint32_t slotCount, int32_t* slot);

/** Reads and drops characters up to and including the next newline, or to the end of the input. */
void SkipRestOfLine(Console& console);

/**
 * Prints "Press [Enter] key to continue...", reads exactly one character and prints "\n".
 * @return false when the input has ended.
 */
bool WaitForEnter(Console& console);

/** The script file name buffer holds this many characters, its terminating NUL included. */
inline constexpr size_t kScriptFileNameSize = 512;

/**
 * Drops the rest of the current line, then asks "Enter a script filename: " until a non-empty line is read.
 * The name is the line cut at its newline (at most 511 characters; the rest of a longer line is dropped so that
 * it is not taken as the next answer); spaces and everything else are kept.
 * @param name out; written only on success.
 * @return false when the input has ended (after printing "\n").
 */
bool PromptForScriptFileName(Console& console, std::string* name);

}  // namespace ryx_test
