// A file the fuzz input is written to, for readers that take a path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Writes the input to this process's scratch file and returns its path.
inline const std::string& scratch_file(const uint8_t* data, size_t size)
{
    static const std::string path = [] {
        char pattern[] = "/tmp/fuzz-input.XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        return std::string(pattern);
    }();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    return path;
}
