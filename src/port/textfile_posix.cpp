#include "port/textfile.h"

#include "port/path.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// No text mode here: files are written with LF, and reading accepts LF and
// CR LF alike.

namespace Varnix::Port {

std::FILE* openTextForReading(const char16_t* path) { return openBytesForReading(path); }

std::FILE* openBytesForReading(const char16_t* path) {
    std::FILE* file = std::fopen(narrowPath(path).c_str(), "rb");
    // A directory opens here but not on Windows; it cannot be read either way.
    struct stat status;
    if (file != nullptr && (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode))) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

Status canReadTextFile(const char16_t* path) {
    std::string name = narrowPath(path);
    struct stat status;
    if (stat(name.c_str(), &status) != 0) return Status::lastFileError();
    if (S_ISDIR(status.st_mode)) return Status::fromSystem(EISDIR);
    std::FILE* file = std::fopen(name.c_str(), "r");
    if (file == nullptr) return Status::lastFileError();
    std::fclose(file);
    return Status();
}

namespace {

// open(2) with O_NOFOLLOW, then a stream on it in `mode`.
std::FILE* openStream(const char16_t* path, int flags, const char* mode) {
    int descriptor = open(narrowPath(path).c_str(), flags | O_NOFOLLOW, 0666);
    if (descriptor < 0) return nullptr;
    std::FILE* file = fdopen(descriptor, mode);
    if (file == nullptr) close(descriptor);
    return file;
}

}  // namespace

std::FILE* openTextForWriting(const char16_t* path) { return openStream(path, O_WRONLY | O_CREAT | O_TRUNC, "w"); }

std::FILE* openTextForCreating(const char16_t* path) { return openStream(path, O_WRONLY | O_CREAT | O_EXCL, "w"); }

bool isSymbolicLink(const char16_t* path) {
    struct stat status;
    return lstat(narrowPath(path).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

char* readTextChunk(char* buffer, int size, std::FILE* file) {
    if (std::fgets(buffer, size, file) == nullptr) return nullptr;
    size_t length = std::strlen(buffer);
    if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
        buffer[length - 2] = '\n';
        buffer[length - 1] = '\0';
    } else if (length > 0 && length == static_cast<size_t>(size - 1) && buffer[length - 1] == '\r') {
        // The pair may straddle two chunks: look at the next byte.
        int next = std::fgetc(file);
        if (next == '\n')
            buffer[length - 1] = '\n';
        else if (next != EOF)
            std::ungetc(next, file);
    }
    return buffer;
}

TextLocale createCLocale() {
    // printf's "%d" never groups digits here, whatever the process locale.
    static char marker;
    return &marker;
}

void freeCLocale(TextLocale) {}

void writeDecimal(std::FILE* file, TextLocale, int value) { std::fprintf(file, "%d", value); }

}  // namespace Varnix::Port
