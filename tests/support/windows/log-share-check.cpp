// Another program opening the node's DrLog.txt while the node runs, as a log
// viewer or a monitoring agent would: it must be able to read the node's lines
// and append its own, and then see the node's later lines after its own.
//
// Usage: log-share-check FILE MARKER LATER-TEXT [SECONDS]
//   opens FILE for reading and appending (sharing reading and writing),
//   checks it holds "DR server started", appends the line MARKER, prints
//   "appended", then re-reads through the same handle until a line holding
//   LATER-TEXT comes after MARKER (SECONDS, default 120).
// Exit status: 0 done; 1 usage; 2 cannot open; 3 no node lines; 4 cannot
// append; 5 no later node line in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring wide(const char* text) {
    const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(count > 0 ? count - 1 : 0, L'\0');
    if (count > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], count);
    return out;
}

bool readAll(HANDLE file, std::string& text) {
    text.clear();
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: log-share-check FILE MARKER LATER-TEXT [SECONDS]\n");
        return 1;
    }
    const std::string marker = argv[2];
    const std::string later = argv[3];
    const int seconds = argc == 5 ? std::atoi(argv[4]) : 120;

    HANDLE file = CreateFileW(wide(argv[1]).c_str(), GENERIC_READ | FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s for reading and appending: error %lu\n", argv[1],
                    static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    std::string text;
    if (!readAll(file, text) || text.find("DR server started") == std::string::npos) {
        std::printf("read %zu bytes without the node's \"DR server started\"\n", text.size());
        return 3;
    }
    std::printf("read %zu bytes of the node's log\n", text.size());

    const std::string line = marker + "\r\n";
    DWORD written = 0;
    if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) || written != line.size()) {
        std::printf("cannot append: error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 4;
    }
    std::printf("appended\n");
    std::fflush(stdout);

    for (int i = 0; i < seconds * 10; ++i) {
        const std::size_t at = readAll(file, text) ? text.find(line) : std::string::npos;
        if (at != std::string::npos && text.find(later, at + line.size()) != std::string::npos) {
            std::printf("the node's later line came after the appended one\n");
            return 0;
        }
        Sleep(100);
    }
    std::printf("no line holding \"%s\" after the appended line within %d s\n", later.c_str(), seconds);
    return 5;
}
