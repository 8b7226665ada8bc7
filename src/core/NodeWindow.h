#pragma once

#include "core/String.h"

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

    // The same for a String, which is left unchanged. Any thread.
    void log(const String& text) {
        String line(text);
        log(line.wideCString());
    }

    // Shows `text` in a modal box with an OK button and `caption` as its
    // title, and returns once the admin has closed it. GUI thread only (the
    // lower layers ask while the window builds the render service).
    virtual void showMessageBox(const String& text, const String& caption) = 0;

    // The caption of a box that has no title of its own.
    static constexpr const char16_t* plainCaption = u"Message";
};

}  // namespace Varnix
