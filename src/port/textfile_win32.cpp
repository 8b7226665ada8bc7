#include "port/textfile.h"

#include "port/path_win32.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <share.h>
#include <stdio.h>

namespace Varnix::Port {

std::FILE* openTextForReading(const char16_t* path) {
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, systemPath(path), L"r") != 0) return nullptr;
    return file;
}

std::FILE* openBytesForReading(const char16_t* path) {
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, systemPath(path), L"rb") != 0) return nullptr;
    return file;
}

Status canReadTextFile(const char16_t* path) {
    DWORD attributes = GetFileAttributesW(systemPath(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return Status::lastFileError();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Status::withText(ERROR_DIRECTORY, "it is a directory");
    // The same sharing as the runtime's open for reading.
    HANDLE file = CreateFileW(systemPath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Status::lastFileError();
    CloseHandle(file);
    return Status();
}

bool isSymbolicLink(const char16_t* path) {
    DWORD attributes = GetFileAttributesW(systemPath(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::FILE* openTextForWriting(const char16_t* path) {
    // Making links takes a privilege here, so a look before the open will do.
    if (isSymbolicLink(path)) return nullptr;
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, systemPath(path), L"w") != 0) return nullptr;
    return file;
}

std::FILE* openTextForCreating(const char16_t* path) {
    // CREATE_NEW fails on any name already there, a link included.
    HANDLE handle = CreateFileW(systemPath(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT | _O_WRONLY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "w");
    if (file == nullptr) _close(descriptor);
    return file;
}

char* readTextChunk(char* buffer, int size, std::FILE* file) {
    // Text mode already turns CR LF into LF.
    return std::fgets(buffer, size, file);
}

TextLocale createCLocale() { return _create_locale(LC_ALL, "C"); }

void freeCLocale(TextLocale locale) {
    if (locale != nullptr) _free_locale(static_cast<_locale_t>(locale));
}

void writeDecimal(std::FILE* file, TextLocale locale, int value) {
    _fprintf_l(file, "%d", static_cast<_locale_t>(locale), value);
}

}  // namespace Varnix::Port
