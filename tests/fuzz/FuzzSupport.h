#pragma once

// Shared pieces of the fuzz targets: a private scratch directory per process for
// the readers that take a path.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace wcrfuzz {

// A directory of this process, made once (libFuzzer runs one input at a time).
inline const std::string& scratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/wcr-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return dir;
}

// Writes the input to name inside the scratch directory; the path.
inline std::string writeScratch(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratchDir() + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    return path;
}

}  // namespace wcrfuzz
