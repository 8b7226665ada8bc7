#pragma once
// Helpers shared by the fuzz targets: a private scratch directory, writing an
// input to a file, and a log window that drops every line.

#include "core/LogTarget.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace FuzzSupport {

// A directory of this process, made on first use under $TMPDIR (else /tmp)
// and removed at exit. Aborts when it cannot be made: a fuzz run without it
// would test nothing.
inline const std::string& scratchDirectory() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnix-fuzz.XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    static const struct Remover {
        ~Remover() { std::system(("rm -rf '" + path + "'").c_str()); }
    } remover;
    return path;
}

// Writes `size` bytes to `path`, replacing it. Aborts when it cannot.
inline void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || (size && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) std::abort();
}

// Drops every log line; a message box or a forced close is a fault in a
// target that never expects one.
class NullWindow : public Varnix::LogTarget {
public:
    void log(const char16_t*) override {}
    void showMessageBox(const Varnix::String&, const Varnix::String&) override { std::abort(); }
};

}  // namespace FuzzSupport
