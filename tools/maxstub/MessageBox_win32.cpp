#include "MessageBox.h"

#include <windows.h>

namespace Varnix::Peer {

namespace {

std::wstring wide(const std::string& text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring result(std::size_t(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &result[0], length);
    return result;
}

}  // namespace

bool showMessageBox(const std::string& title, const std::string& text) {
    MessageBoxW(nullptr, wide(text).c_str(), wide(title).c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    return true;
}

}  // namespace Varnix::Peer
