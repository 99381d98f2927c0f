// Helpers of the ryx_test unit tests: streams in memory-backed temporary files, and script files on disk.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>

namespace ryx_test::test {

/** An anonymous temporary file used as a FILE* stream: output to capture, or input prepared in advance. */
class TempStream {
public:
    TempStream() : file_(std::tmpfile()) {
        if (file_ == nullptr) {
            throw std::runtime_error("tmpfile failed");
        }
    }
    /** A stream to read from, holding `content`, positioned at its start. */
    explicit TempStream(std::string_view content) : TempStream() {
        std::fwrite(content.data(), 1, content.size(), file_);
        std::rewind(file_);
    }
    TempStream(const TempStream&) = delete;
    TempStream& operator=(const TempStream&) = delete;
    ~TempStream() { std::fclose(file_); }

    std::FILE* get() const { return file_; }

    /** Everything written so far. The write position stays at the end. */
    std::string Text() const {
        std::fflush(file_);
        const long end = std::ftell(file_);
        std::string text(static_cast<size_t>(end), '\0');
        std::rewind(file_);
        const size_t got = std::fread(text.data(), 1, text.size(), file_);
        text.resize(got);
        std::fseek(file_, 0, SEEK_END);
        return text;
    }

    /** What is left unread of an input stream. */
    std::string Rest() const {
        std::string rest;
        int c;
        while ((c = std::getc(file_)) != EOF) {
            rest.push_back(static_cast<char>(c));
        }
        return rest;
    }

private:
    std::FILE* file_;
};

/** A named file holding `content`, removed again when the object goes. */
class TempFile {
public:
    explicit TempFile(std::string_view content) {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/ryx_script_XXXXXX";
        const int fd = mkstemp(path_.data());
        if (fd < 0) {
            throw std::runtime_error("mkstemp failed");
        }
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = write(fd, content.data() + done, content.size() - done);
            if (n <= 0) {
                close(fd);
                throw std::runtime_error("write failed");
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { std::remove(path_.c_str()); }

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace ryx_test::test
