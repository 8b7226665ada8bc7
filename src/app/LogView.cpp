#include "app/LogView.h"

#include "app/WxText.h"

#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

LogView::LogView(wxWindow* parent, wxSizer* sizer) {
    view = new wxTextCtrl(parent, wxID_ANY, wxString(), wxDefaultPosition, wxSize(600, 400),
                          wxTE_MULTILINE | wxTE_READONLY);
    wxStaticText* label = new wxStaticText(parent, wxID_ANY, wxT("Log:"), wxDefaultPosition, wxDefaultSize, 0);
    sizer->Add(label, 0, 0, 0);
    sizer->Add(view, 1, wxEXPAND, 0);
}

void LogView::update(bool shown) {
    if (!shown) {
        for (; counted < text.length(); ++counted)
            if (text[counted] == u'\n') ++lines;
        if (lines > maxViewLines) dropWaitingLines(lines - trimmedViewLines);
        return;
    }
    if (text.length() == 0) return;
    *view << Varnix::toWxString(text);
    text.clear();
    lines = 0;
    counted = 0;
    int viewLines = view->GetNumberOfLines();
    if (viewLines <= maxViewLines) return;
    long end = view->XYToPosition(0, viewLines - trimmedViewLines);
    if (end > 0) view->Remove(0, end);
}

void LogView::dropWaitingLines(int dropping) {
    std::int32_t end = 0;
    for (int dropped = 0; end < text.length() && dropped < dropping; ++end)
        if (text[end] == u'\n') ++dropped;
    text.erase(0, end);
    counted -= end;
    lines -= dropping;
}
