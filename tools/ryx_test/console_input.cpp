#include "console_input.h"

#include <cctype>
#include <cstring>

namespace ryx_test {

namespace {

bool IsSpace(int c) {
    return c != EOF && std::isspace(static_cast<unsigned char>(c));
}

bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

// Drops what is left of a line whose character `last` was just read. False when the input ended first.
bool DropLine(std::FILE* in, int last) {
    int c = last;
    while (c != '\n') {
        if (c == EOF) {
            return false;
        }
        c = std::getc(in);
    }
    return true;
}

// One "%d" read. *stop receives the character that ended it (EOF at the end of the input): put back after a
// number, taken but not put back otherwise, so that the caller decides what becomes of the rest of the line.
NumberRead ReadDecimal(std::FILE* in, int32_t* value, int* stop) {
    int c;
    do {
        c = std::getc(in);
    } while (IsSpace(c));
    *stop = c;
    if (c == EOF) {
        return NumberRead::EndOfInput;
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getc(in);
    }
    *stop = c;
    if (!IsDigit(c)) {
        return c == EOF ? NumberRead::EndOfInput : NumberRead::NotANumber;
    }
    // The magnitude of INT32_MIN is one more than INT32_MAX's.
    const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
    int64_t magnitude = 0;
    bool tooLarge = false;
    while (IsDigit(c)) {
        if (!tooLarge) {
            magnitude = magnitude * 10 + (c - '0');
            tooLarge = magnitude > limit;
        }
        c = std::getc(in);
    }
    *stop = c;
    if (tooLarge) {
        return NumberRead::NotANumber;
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return NumberRead::Number;
}

}  // namespace

NumberRead ReadDecimalNumber(std::FILE* in, int32_t* value) {
    int stop = EOF;
    const NumberRead read = ReadDecimal(in, value, &stop);
    if (read != NumberRead::NotANumber) {
        return read;
    }
    return DropLine(in, stop) ? NumberRead::NotANumber : NumberRead::EndOfInput;
}

void PromptForValue(Console& console, const char* prompt, int32_t* value) {
    std::fputs(prompt, console.out);
    std::fflush(console.out);
    int stop = EOF;
    if (ReadDecimal(console.in, value, &stop) != NumberRead::Number && stop != EOF) {
        std::ungetc(stop, console.in);
    }
    std::fputs("\n", console.out);
}

bool PromptForNumber(Console& console, const char* prompt, int32_t* value) {
    for (;;) {
        std::fputs(prompt, console.out);
        std::fflush(console.out);
        const NumberRead read = ReadDecimalNumber(console.in, value);
        std::fputs("\n", console.out);
        if (read == NumberRead::Number) {
            return true;
        }
        if (read == NumberRead::EndOfInput) {
            return false;
        }
    }
}

bool PromptForSlot(Console& console, uint32_t slotCount, int32_t* slot) {
    for (;;) {
        std::fprintf(console.out, "Enter a slot number [0 - %d]: ", static_cast<int>(slotCount - 1));
        std::fflush(console.out);
        int32_t value = -1;
        const NumberRead read = ReadDecimalNumber(console.in, &value);
        if (read == NumberRead::EndOfInput) {
            std::fputs("\n", console.out);
            return false;
        }
        if (read == NumberRead::Number && value >= 0 && static_cast<uint32_t>(value) < slotCount) {
            *slot = value;
            std::fputs("\n", console.out);
            return true;
        }
    }
}

void SkipRestOfLine(Console& console) {
    int c;
    do {
        c = std::getc(console.in);
    } while (c != '\n' && c != EOF);
}

bool WaitForEnter(Console& console) {
    std::fputs("Press [Enter] key to continue...", console.out);
    std::fflush(console.out);
    const int c = std::getc(console.in);
    std::fputs("\n", console.out);
    return c != EOF;
}

bool PromptForScriptFileName(Console& console, std::string* name) {
    SkipRestOfLine(console);
    for (;;) {
        std::fputs("Enter a script filename: ", console.out);
        std::fflush(console.out);
        // Read character by character rather than with fgets: a NUL byte in the line would hide from fgets's caller
        // where the line ended, and the rest of a long line would then be taken as the next answer.
        std::string line;
        int c = EOF;
        bool ended = false;
        while (line.size() < kScriptFileNameSize - 1 && (c = std::getc(console.in)) != EOF) {
            if (c == '\n') {
                ended = true;
                break;
            }
            line.push_back(static_cast<char>(c));
        }
        if (!ended && line.empty() && c == EOF) {
            std::fputs("\n", console.out);
            return false;
        }
        if (!ended && c != EOF) {
            SkipRestOfLine(console);
        }
        // The name is a C string: a NUL byte ends it.
        line.resize(std::strlen(line.c_str()));
        if (!line.empty()) {
            *name = line;
            return true;
        }
    }
}

}  // namespace ryx_test
