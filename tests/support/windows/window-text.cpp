// Prints the text of every visible top-level window of a window class, one
// line each in UTF-8, so that scripts under Wine can read what X does not
// show: the tray icon's tooltip is a "tooltips_class32" window without a title.
//
// Usage: window-text CLASS     Exit status: 0 at least one window; 1 none.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Search {
    std::wstring className;
    int found = 0;
};

BOOL CALLBACK visit(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    wchar_t name[256];
    if (!IsWindowVisible(window) || GetClassNameW(window, name, 256) == 0 ||
        lstrcmpiW(name, search->className.c_str()) != 0)
        return TRUE;
    // WM_GETTEXT itself: GetWindowText gives only the stored caption for a
    // window of another process, and a tooltip answers with its current tip.
    wchar_t text[1024] = L"";
    DWORD_PTR units = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 10000, &units))
        units = 0;
    char utf8[4096];
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), utf8, sizeof utf8, nullptr, nullptr);
    std::fwrite(utf8, 1, static_cast<size_t>(bytes), stdout);
    std::fputc('\n', stdout);
    ++search->found;
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: window-text CLASS\n");
        return 2;
    }
    Search search;
    for (const char* c = argv[1]; *c != '\0'; ++c) search.className += static_cast<wchar_t>(*c);
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    return search.found > 0 ? 0 : 1;
}
