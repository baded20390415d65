// Output files that replace their target only once complete.
//
// The content goes to a temporary file in the target's directory, which is
// renamed over the target when every byte has been written and the file has
// been closed, so a failed run never leaves a half-written file and never
// destroys the file that was there. A target that exists and is not a regular
// file (a device, a pipe) is written directly, and the path "-" is the
// standard output stream.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // False when the target cannot be written; errno tells why.
    bool open(const char* path);
    void write(const void* data, size_t size);
    // Writes out what is buffered, closes and puts the file in place. False
    // when any write or the close failed (errno tells why): the unfinished
    // file is removed and the target is left as it was.
    bool commit();
    // Drops the unfinished file; the target is left as it was.
    void discard();

private:
    void flush();
    void write_through(const char* bytes, size_t size);

    int fd_ = -1;
    bool owns_fd_ = false;
    std::string target_;
    std::string temporary_;           // empty when writing directly
    std::unique_ptr<char[]> buffer_;  // left unset: only what is written is ever touched
    size_t buffer_size_ = 0;
    size_t used_ = 0;
    int error_ = 0;  // errno of the first failed write
};
