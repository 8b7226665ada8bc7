#pragma once

#include <wx/icon.h>
#include <wx/taskbar.h>

class wxFrame;
class wxMenu;

// The notification-area icon that stands in for the log window while it is
// minimised. Owned by the window (created in its constructor, released in its
// close handler through Destroy(), since "Quit" arrives while this object is
// still inside its own PopupMenu). GUI thread only.
class MyIcon : public wxTaskBarIcon {
public:
    enum MenuId { displayLogWindowId = 1, quitId = 2 };

    // Does not put the icon into the notification area yet. `window` is the
    // log window it stands in for, and outlives it.
    explicit MyIcon(wxFrame* window);
    ~MyIcon() override;

    // Puts the icon, with its tooltip, into the notification area.
    void showInTray();

    // The show sequence: window un-iconized, shown and raised, icon removed.
    // Harmless to repeat.
    void showWindow();

    // A fresh tray menu ("Display log window", "Quit"); the caller owns it.
    static wxMenu* buildMenu();

private:
    void onLeftUp(wxTaskBarIconEvent& event);
    void onRightUp(wxTaskBarIconEvent& event);
    void onMenu(wxCommandEvent& event);

    wxFrame* window;
    wxIcon icon;
};
