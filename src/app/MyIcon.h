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
    enum MenuId { displayLogWindowId = 1, quitId = 2, stopNodeServiceId = 3 };

    // Does not put the icon into the notification area yet. `window` is the
    // log window it stands in for, and outlives it. `offerServiceStop` adds
    // "Stop the node service…", which the companion of a node service offers
    // where it can ask for elevation: the window gets that menu event.
    explicit MyIcon(wxFrame* window, bool offerServiceStop = false);
    ~MyIcon() override;

    // Puts the icon, with its tooltip, into the notification area.
    void showInTray();

    // The show sequence: window un-iconized, shown and raised, icon removed.
    // Harmless to repeat.
    void showWindow();

    // The window's iconize handler. A minimise hides the window into the
    // tray, and so does a restore report while it is hidden (wxGTK reports
    // one when the hidden frame is unmapped). A restore report while it is
    // shown leaves it shown: a loaded window manager may deliver it after
    // showWindow() has brought the window back.
    void windowIconized(bool iconized);

    // A fresh tray menu ("Display log window", "Quit", and after a separator
    // "Stop the node service…" when asked for); the caller owns it.
    static wxMenu* buildMenu(bool withServiceStop = false);

private:
    void onLeftUp(wxTaskBarIconEvent& event);
    void onRightUp(wxTaskBarIconEvent& event);
    void onMenu(wxCommandEvent& event);

    wxFrame* window;
    bool offerServiceStop;
    wxIcon icon;
};
