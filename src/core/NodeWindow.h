#pragma once

namespace Varnix {

// What the lower layers (configuration, render service) may ask of the log
// window. DrWindow implements it; the libraries below the application shell
// hold a NodeWindow* so that they need not know the window class.
class NodeWindow {
public:
    virtual ~NodeWindow() = default;

    // Appends one timestamped line to the log. Any thread; never waits on the
    // disk or the GUI. `text` is NUL-terminated UTF-16 and is copied.
    virtual void log(const char16_t* text) = 0;

    // Asks the window to close by force, as the tray menu's "Quit" does.
    // GUI thread only.
    virtual void forceClose() = 0;
};

}  // namespace Varnix
