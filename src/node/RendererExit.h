#pragma once
// What a renderer's exit status says: 3dsmaxcmd.exe's documented return
// codes (0 success, 1 failure, -1 to -9, -12), else the crash code or signal
// the platform names.

#include <string>

namespace Varnix {

// "3ds Max return code -8: licence error" for a documented error code as
// this platform hands it on (Port::returnedValue), else the crash's or
// signal's name (Port::exitStatusMeaning); empty for 0 and any other plain
// code. Any thread.
std::string rendererExitMeaning(int status);

// True when `status` is one of 3ds Max's documented error codes: the job
// failed, whatever dumps came. Any thread.
bool isRendererErrorCode(int status);

// Why a node whose last renderer exited with `rendererExit` needs an admin:
// "licence error" (-8), "graphics device failure" (-7); null otherwise.
// Takes the code in every form a node may report it (the signed 32-bit
// value of Windows, its unsigned form, the low byte POSIX keeps), since it
// reads other machines' answers. Any thread.
const char* rendererExitAttention(long long rendererExit);

}  // namespace Varnix
