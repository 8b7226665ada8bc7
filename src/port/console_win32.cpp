#include "port/console.h"

#include <windows.h>
#include <io.h>
#include <stdio.h>

#include <atomic>

namespace Varnix::Port {

namespace {

std::atomic<int> interrupts{0};

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: interrupts.fetch_add(1); return TRUE;
    default: return FALSE;
    }
}

}  // namespace

bool isTerminal(StandardStream stream) {
    return _isatty(_fileno(stream == StandardStream::Output ? stdout : stderr)) != 0;
}

void catchInterrupts() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

int interruptCount() { return interrupts.load(); }

}  // namespace Varnix::Port
