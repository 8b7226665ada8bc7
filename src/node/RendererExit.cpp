#include "node/RendererExit.h"

#include "port/process.h"

namespace Varnix {

namespace {

struct ReturnCode {
    int code;
    const char* meaning;
    const char* attention;  // null: the job failed, but no admin need look
};

// 3ds Max's own table of what 3dsmaxcmd.exe returns (its 2024 help; 2027
// adds -12).
constexpr ReturnCode returnCodes[] = {
    {1, "failure", nullptr},
    {-1, "unhandled exception", nullptr},
    {-2, "execution aborted by 3ds Max", nullptr},
    {-3, "crashed while closing its window (WM_CLOSE)", nullptr},
    {-4, "crashed while destroying its window (WM_DESTROY)", nullptr},
    {-5, "crashed after its main window was destroyed", nullptr},
    {-6, "out of memory", nullptr},
    {-7, "invalid graphics device for the viewport", "graphics device failure"},
    {-8, "licence error", "licence error"},
    {-9, "the application could not be created", nullptr},
    {-12, "an error of 3ds Max 2027 and later", nullptr},
};

const ReturnCode* documented(int code) {
    for (const ReturnCode& entry : returnCodes)
        if (entry.code == code) return &entry;
    return nullptr;
}

}  // namespace

std::string rendererExitMeaning(int status) {
    int code = Port::returnedValue(status);
    if (const ReturnCode* entry = documented(code))
        return "3ds Max return code " + std::to_string(code) + ": " + entry->meaning;
    return Port::exitStatusMeaning(status);
}

bool isRendererErrorCode(int status) { return documented(Port::returnedValue(status)) != nullptr; }

const char* rendererExitAttention(long long rendererExit) {
    long long code = rendererExit;
    if (code > 0x7FFFFFFFLL && code <= 0xFFFFFFFFLL) code -= 0x100000000LL;  // the unsigned 32-bit form
    if (code > 128 + 64 && code <= 255) code -= 256;                         // the low byte POSIX keeps
    if (code < -0x7FFFFFFFLL - 1 || code > 0x7FFFFFFFLL) return nullptr;
    const ReturnCode* entry = documented(int(code));
    return entry != nullptr ? entry->attention : nullptr;
}

}  // namespace Varnix
