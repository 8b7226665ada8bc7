#include "app/MyIcon.h"

#include "app/BuiltInIcon.h"

#include <memory>
#include <wx/frame.h>
#include <wx/menu.h>

MyIcon::MyIcon(wxFrame* window, bool offerServiceStop)
    : wxTaskBarIcon(), window(window), offerServiceStop(offerServiceStop), icon() {
    Bind(wxEVT_TASKBAR_LEFT_UP, &MyIcon::onLeftUp, this);
    // wxGTK reports only button presses, never releases: a left press brings
    // the window back as well (the show sequence may run twice on Windows,
    // which changes nothing), and wxEVT_TASKBAR_CLICK is the right release on
    // Windows but the right press on GTK, so the menu opens once everywhere.
    Bind(wxEVT_TASKBAR_LEFT_DOWN, &MyIcon::onLeftUp, this);
    Bind(wxEVT_TASKBAR_CLICK, &MyIcon::onRightUp, this);
    Bind(wxEVT_MENU, &MyIcon::onMenu, this);
    icon = makeBuiltInIcon();
}

MyIcon::~MyIcon() = default;

void MyIcon::showInTray() { SetIcon(icon, wxT("Varnix DR Server")); }

void MyIcon::showWindow() {
    // Un-iconizing may itself report an iconize, which hides the window and
    // shows this icon; the steps after it undo that.
    window->Iconize(false);
    window->Show(true);
    window->Raise();
    RemoveIcon();
}

void MyIcon::windowIconized(bool iconized) {
    if (!iconized && window->IsShown()) return;
    window->Show(false);
    showInTray();
}

wxMenu* MyIcon::buildMenu(bool withServiceStop) {
    wxMenu* menu = new wxMenu(wxString(), 0);
    menu->Append(displayLogWindowId, wxT("Display log window"), wxString(), wxITEM_NORMAL);
    menu->Append(quitId, wxT("Quit"), wxString(), wxITEM_NORMAL);
    if (withServiceStop) {
        // Apart from "Quit", which ends the companion only.
        menu->AppendSeparator();
        menu->Append(stopNodeServiceId, wxString::FromUTF8("Stop the node service\xE2\x80\xA6"), wxString(),
                     wxITEM_NORMAL);
    }
    return menu;
}

void MyIcon::onLeftUp(wxTaskBarIconEvent&) { showWindow(); }

void MyIcon::onRightUp(wxTaskBarIconEvent&) {
    std::unique_ptr<wxMenu> menu(buildMenu(offerServiceStop));
    PopupMenu(menu.get());
}

void MyIcon::onMenu(wxCommandEvent& event) {
    switch (event.GetId()) {
    case displayLogWindowId: showWindow(); break;
    // A close request that cannot be vetoed: the window's close handler
    // ends the node.
    case quitId: window->Close(true); break;
    // Queued: the elevation prompt waits until this menu has gone.
    case stopNodeServiceId: window->GetEventHandler()->QueueEvent(new wxCommandEvent(wxEVT_MENU, event.GetId())); break;
    default: break;
    }
}
