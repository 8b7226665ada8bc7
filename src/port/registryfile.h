#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The registry as a regedit export: text that an admin copies from a Windows
// machine, which POSIX systems read in place of the registry. Parsing is
// pure (no system calls), the same on every platform. Any thread.

namespace Varnix::Port::RegistryFile {

constexpr std::uint32_t typeString = 1;
constexpr std::uint32_t typeBinary = 3;
constexpr std::uint32_t typeDword = 4;

// One value: its registry type and its data as the registry stores it
// (strings UTF-16LE with their terminator).
struct Value {
    std::uint32_t type;
    std::vector<unsigned char> data;
};

// Key paths ("\" between the names, below HKEY_LOCAL_MACHINE) and value
// names are stored folded (see fold), since Windows compares them without
// regard to case. A key holds the values declared in it.
using Values = std::map<std::u16string, Value>;
using Keys = std::map<std::u16string, Values>;

// `text` with ASCII letters in upper case: the form keys and names are
// stored and looked up in.
std::u16string fold(std::u16string text);

// Reads up to `capacity` bytes into `buffer`; the count, 0 at the end (or on
// an error, which ends the file there).
using Reader = std::function<std::size_t(unsigned char* buffer, std::size_t capacity)>;

// Parses an export (UTF-16LE with its byte-order mark, or UTF-8 with or
// without one) pulled from `read` until it gives 0. Never fails: lines and
// values that cannot be understood are skipped. Memory stays bounded by the
// keys kept, whatever the length of the input's lines.
Keys parse(const Reader& read);

// The same over `size` bytes in memory.
Keys parse(const void* bytes, std::size_t size);

// True when the key `foldedPath` was declared or a key below it was (the
// empty path, the hive itself, always exists).
bool keyExists(const Keys& keys, const std::u16string& foldedPath);

}  // namespace Varnix::Port::RegistryFile
