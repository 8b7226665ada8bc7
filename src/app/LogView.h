#pragma once

#include "core/String.h"

class wxSizer;
class wxTextCtrl;
class wxWindow;

// The "Log:" label and the read-only view of the log under it, as the node's
// window and the companion show them, with the text held for the view while
// its window is hidden. GUI thread only.
class LogView {
public:
    // The view shows at most this many lines: when there are more, the
    // oldest go, down to trimmedViewLines. DrLog.txt keeps every line.
    static constexpr int maxViewLines = 30000;
    static constexpr int trimmedViewLines = 25000;

    // Adds the label and the view, children of `parent`, to `sizer`.
    LogView(wxWindow* parent, wxSizer* sizer);

    // Where new text (whole lines) goes before update() shows or holds it;
    // one buffer, kept to reuse its storage.
    Varnix::String& waiting() { return text; }

    // Shows what waits when `shown`, in one append however many lines came,
    // and trims the view. Hidden, where a farm machine spends its weeks,
    // nothing is laid out or drawn: the text waits for the window to be
    // shown, its newest lines only, as the view would keep them.
    void update(bool shown);

    wxTextCtrl* control() const { return view; }

private:
    void dropWaitingLines(int lines);

    wxTextCtrl* view = nullptr;
    Varnix::String text;
    // Line feeds in text, counted up to `counted`.
    int lines = 0;
    std::int32_t counted = 0;
};
