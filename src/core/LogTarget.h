#pragma once

#include "core/String.h"

namespace Varnix {

// Where the lower layers (configuration, render service, jobs) send their log
// lines and the rare box an admin must see. The node's owner (NodeLife)
// implements it and hands lines to its log sink; the window and tests stand
// in for it where no node runs. The layers below hold a LogTarget* so that
// they need not know who shows their lines.
class LogTarget {
public:
    virtual ~LogTarget() = default;

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
