// The real log window and tray icon in this process: layout, the tray round
// trip and the close paths.
#include "app/BuiltInPicture.h"
#include "app/MyIcon.h"
#include "app/WindowFixture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <wx/image.h>
#include <wx/menu.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/mstream.h>
#include <wx/stattext.h>

using namespace VarnixTest;

namespace {

// The tooltip that the notification area shows for this process's tray icon,
// as GTK holds it on the icon widget it docks there ("" when there is none).
// The GTK headers do not come with the wxWidgets package, and GTK is loaded
// with the library anyway: its few calls are looked up at run time.
std::string trayTooltip() {
    struct List {
        void* data;
        List* next;
        List* previous;
    };
    using Toplevels = List* (*)();
    using Tooltip = char* (*)(void*);
    using TypeName = const char* (*)(void*);
    using Free = void (*)(void*);
    auto toplevels = reinterpret_cast<Toplevels>(dlsym(RTLD_DEFAULT, "gtk_window_list_toplevels"));
    auto tooltip = reinterpret_cast<Tooltip>(dlsym(RTLD_DEFAULT, "gtk_widget_get_tooltip_text"));
    auto typeName = reinterpret_cast<TypeName>(dlsym(RTLD_DEFAULT, "g_type_name_from_instance"));
    auto freeList = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "g_list_free"));
    auto freeText = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "g_free"));
    if (!toplevels || !tooltip || !typeName || !freeList || !freeText) return "(GTK not found)";
    std::string found;
    List* windows = toplevels();
    for (List* w = windows; w != nullptr; w = w->next) {
        if (std::string(typeName(w->data)) != "GtkTrayIcon") continue;
        if (char* text = tooltip(w->data)) {
            found = text;
            freeText(text);
        }
    }
    freeList(windows);
    return found;
}

}  // namespace

class LogWindow : public WindowTest {
protected:
    // The X id of this process's frame, "" when it is not mapped.
    std::string frameXid() {
        return firstLine(shell("xdotool search --all --onlyvisible --pid " + std::to_string(getpid()) +
                               " --name '^Varnix Tarvo \\| Alpha v6\\.1$' 2>/dev/null"));
    }

    // Runs the loop until the window manager has taken the frame over (it
    // focuses new windows); minimising before that does nothing.
    bool waitManaged() {
        return pumpUntil(
            [&] {
                std::string xid = frameXid();
                return !xid.empty() && firstLine(shell("xdotool getactivewindow 2>/dev/null")) == xid;
            },
            5000);
    }

    // Minimises the frame; true once it is hidden. A loaded window manager
    // now and then drops a request that comes right after start-up, so it is
    // asked again, as a person would click again.
    bool minimise() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            window->Iconize(true);
            if (pumpUntil([&] { return !window->IsShown(); }, 1500)) return true;
        }
        return false;
    }
};

TEST_F(LogWindow, TitleLayoutAndFittedMinimumSize) {
    EXPECT_EQ(window->GetTitle(), wxString("Varnix Tarvo | Alpha v6.1"));
    EXPECT_TRUE(window->IsShown());
    EXPECT_FALSE(window->IsIconized());
    ASSERT_EQ(window->GetIcons().GetIconCount(), 1u);
    EXPECT_EQ(window->GetIcons().GetIconByIndex(0).GetWidth(), 64);

    wxTextCtrl* view = logView();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->IsMultiLine());
    EXPECT_FALSE(view->IsEditable());
    EXPECT_EQ(view->GetSize(), wxSize(600, 400));

    wxStaticText* label = nullptr;
    for (wxWindow* child : window->GetChildren())
        if (auto* text = dynamic_cast<wxStaticText*>(child)) label = text;
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->GetLabel(), wxString("Log:"));
    EXPECT_LT(label->GetPosition().y, view->GetPosition().y);

    // The fitted start size is also the smallest the frame may get.
    wxSize fitted = window->GetClientSize();
    EXPECT_EQ(window->GetMinClientSize(), fitted);
    EXPECT_EQ(fitted.y, label->GetSize().y + 400);

    // Growing the frame grows only the text area.
    window->SetClientSize(fitted.x + 200, fitted.y + 100);
    pumpUntil([&] { return view->GetSize() == wxSize(800, 500); }, 3000);
    EXPECT_EQ(view->GetSize(), wxSize(800, 500));
    EXPECT_EQ(label->GetSize().y, fitted.y - 400);
}

// The view takes each batch of lines without animations: GTK animates a
// scrolled view by redrawing all of it on every frame for a while after each
// change, and while dumps were logged that cost the GUI thread several times
// the CPU of the job thread relaying them. The batch still ends up in view.
TEST_F(LogWindow, TheViewShowsNewLinesWithoutAnimations) {
    wxTextCtrl* view = logView();
    ASSERT_NE(view, nullptr);
    using Settings = void* (*)();
    using Get = void (*)(void*, const char*, ...);
    auto settings = reinterpret_cast<Settings>(dlsym(RTLD_DEFAULT, "gtk_settings_get_default"));
    auto get = reinterpret_cast<Get>(dlsym(RTLD_DEFAULT, "g_object_get"));
    ASSERT_TRUE(settings && get) << "GTK not found";
    int animations = -1;
    get(settings(), "gtk-enable-animations", &animations, static_cast<void*>(nullptr));
    EXPECT_EQ(animations, 0);

    auto atEnd = [&] {
        int thumb = view->GetScrollThumb(wxVERTICAL), range = view->GetScrollRange(wxVERTICAL);
        return range > thumb && view->GetScrollPos(wxVERTICAL) + thumb >= range;
    };
    for (int batch = 0; batch < 2; ++batch) {
        int range = view->GetScrollRange(wxVERTICAL);
        // More lines than the view shows; distinct, as identical ones in a
        // burst would be counted instead.
        for (int i = 0; i < 100; ++i) {
            std::string text = "batch " + std::to_string(batch) + " line " + std::to_string(i);
            window->log(std::u16string(text.begin(), text.end()).c_str());
        }
        EXPECT_TRUE(pumpUntil([&] { return view->GetScrollRange(wxVERTICAL) > range && atEnd(); }, 10000))
            << "batch " << batch << " was not followed to its end";
    }
}

TEST_F(LogWindow, BuiltInPictureIsA64By64RgbPngInAmberAndBlack) {
    const unsigned char* png = Varnix::builtInPicture;
    ASSERT_GT(Varnix::builtInPictureSize, 33u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(png) + 1, 3), "PNG");
    EXPECT_EQ(png[24], 8);  // bits per channel
    EXPECT_EQ(png[25], 2);  // colour type: RGB, no alpha
    EXPECT_EQ(png[28], 0);  // not interlaced

    wxMemoryInputStream stream(png, Varnix::builtInPictureSize);
    wxImage image(stream, wxBITMAP_TYPE_ANY, -1);
    ASSERT_TRUE(image.IsOk());
    EXPECT_EQ(image.GetWidth(), 64);
    EXPECT_EQ(image.GetHeight(), 64);
    EXPECT_FALSE(image.HasAlpha());
    int amber = 0, black = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
            if (r == 255 && g == 205 && b == 0) ++amber;
            if (r == 0 && g == 0 && b == 0) ++black;
        }
    EXPECT_EQ(amber + black, 64 * 64);
    EXPECT_GT(amber, black);
}

TEST_F(LogWindow, TrayMenuHasDisplayThenQuitAndNothingElse) {
    std::unique_ptr<wxMenu> menu(MyIcon::buildMenu());
    ASSERT_EQ(menu->GetMenuItemCount(), 2u);
    wxMenuItem* first = menu->FindItemByPosition(0);
    wxMenuItem* second = menu->FindItemByPosition(1);
    EXPECT_EQ(first->GetId(), 1);
    EXPECT_EQ(first->GetItemLabel(), wxString("Display log window"));
    EXPECT_EQ(first->GetKind(), wxITEM_NORMAL);
    EXPECT_EQ(second->GetId(), 2);
    EXPECT_EQ(second->GetItemLabel(), wxString("Quit"));
    EXPECT_EQ(second->GetKind(), wxITEM_NORMAL);

    // The companion of a node service where it can ask for elevation: the
    // same two first, the service's stop apart from them.
    std::unique_ptr<wxMenu> companion(MyIcon::buildMenu(true));
    ASSERT_EQ(companion->GetMenuItemCount(), 4u);
    EXPECT_EQ(companion->FindItemByPosition(1)->GetItemLabel(), wxString("Quit"));
    EXPECT_EQ(companion->FindItemByPosition(2)->GetKind(), wxITEM_SEPARATOR);
    EXPECT_EQ(companion->FindItemByPosition(3)->GetId(), MyIcon::stopNodeServiceId);
    EXPECT_EQ(companion->FindItemByPosition(3)->GetItemLabel(),
              wxString::FromUTF8("Stop the node service\xE2\x80\xA6"));
}

TEST_F(LogWindow, MinimisingHidesIntoTheTrayAndTheShowSequenceBringsItBack) {
    ASSERT_TRUE(wxTaskBarIcon::IsAvailable()) << "no tray host on this desktop";
    MyIcon* tray = window->getTrayIcon();
    ASSERT_NE(tray, nullptr);
    EXPECT_FALSE(tray->IsIconInstalled());

    ASSERT_TRUE(waitManaged());
    ASSERT_TRUE(minimise());
    EXPECT_TRUE(tray->IsIconInstalled());
    pumpFor(300);  // the second iconize report of wxGTK must not bring it back
    EXPECT_FALSE(window->IsShown());
    EXPECT_EQ(trayTooltip(), "Varnix DR Server");

    // Lines written while in the tray are not drawn then, and are all there
    // once the window is back.
    wxTextCtrl* view = logView();
    for (const char16_t* line : {u"in the tray 1", u"in the tray 2"}) window->log(line);
    ASSERT_TRUE(pumpUntil([&] { return readFile(logPath).find("in the tray 2") != std::string::npos; }, 5000));
    pumpFor(300);
    EXPECT_EQ(view->GetValue().Find("in the tray"), wxNOT_FOUND);

    for (int round = 0; round < 2; ++round) {  // repeating it changes nothing
        tray->showWindow();
        ASSERT_TRUE(pumpUntil([&] { return window->IsShown() && !tray->IsIconInstalled(); }, 5000));
        pumpFor(300);
        EXPECT_TRUE(window->IsShown());
        EXPECT_FALSE(window->IsIconized());
        EXPECT_FALSE(tray->IsIconInstalled());
    }
    // A loaded window manager may report the restore only after the icon has
    // brought the window back: that late report must not hide it again.
    wxIconizeEvent lateRestore(window->GetId(), false);
    window->ProcessWindowEvent(lateRestore);
    EXPECT_TRUE(window->IsShown());
    EXPECT_FALSE(tray->IsIconInstalled());
    wxString shown = view->GetValue();
    EXPECT_LT(shown.Find("in the tray 1"), shown.Find("in the tray 2"));
    EXPECT_NE(shown.Find("in the tray 1"), wxNOT_FOUND);
    EXPECT_FALSE(frameXid().empty());
}

TEST_F(LogWindow, QuitFromTheTrayMenuClosesThroughTheCloseHandlerWithoutShowingTheWindow) {
    ASSERT_TRUE(waitManaged());
    ASSERT_TRUE(minimise());
    pumpFor(200);
    bool shownAgain = false;
    window->Bind(wxEVT_SHOW, [&](wxShowEvent& e) {
        if (e.IsShown()) shownAgain = true;
        e.Skip();
    });
    wxWeakRef<MyIcon> tray(window->getTrayIcon());
    window->log(u"logged right before Quit");

    wxCommandEvent quit(wxEVT_MENU, MyIcon::quitId);
    tray->ProcessEvent(quit);  // as the icon's popup menu delivers it
    EXPECT_EQ(window->getTrayIcon(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !windowRef && !tray; }, 5000));
    EXPECT_FALSE(shownAgain);
    EXPECT_NE(readFile(logPath).find("   logged right before Quit\n"), std::string::npos);
}

TEST_F(LogWindow, CloseBoxEndsTheWindowThroughTheCloseHandler) {
    std::string xid;
    ASSERT_TRUE(pumpUntil([&] { return !(xid = frameXid()).empty(); }, 5000));
    wxWeakRef<MyIcon> tray(window->getTrayIcon());
    window->log(u"logged right before the close box");
    int status = -1;
    // What the close box sends: a WM_DELETE_WINDOW request through the window manager.
    shell("wmctrl -i -c " + xid, &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(pumpUntil([&] { return !windowRef && !tray; }, 5000));
    EXPECT_NE(readFile(logPath).find("   logged right before the close box\n"), std::string::npos);
}

namespace {

// Notes what each message box says as it is shown, and lets it show for real.
class BoxRecorder : public wxModalDialogHook {
public:
    std::string message, caption;
    long style = 0;
    int shown = 0, closed = 0;

protected:
    int Enter(wxDialog* dialog) override {
        if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
            message = box->GetMessage().utf8_string();
            caption = box->GetCaption().utf8_string();
            style = box->GetMessageDialogStyle();
        }
        ++shown;
        return wxID_NONE;
    }
    void Exit(wxDialog*) override { ++closed; }
};

}  // namespace

// What the configuration and the listeners ask for: a real box titled with
// its caption, OK only, and the call returns once the admin has closed it.
TEST_F(LogWindow, MessageBoxIsShownForRealAndReturnsOnceClosed) {
    BoxRecorder boxes;
    boxes.Register();
    std::atomic<bool> returned{false};
    // Presses Return in the box whenever it is on screen, until the call has
    // returned; a box that never shows ends the process rather than hang it.
    std::thread dismisser([&returned] {
        const std::string press =
            "box=$(xdotool search --onlyvisible --name '^Fatal error: Cannot create default config file\\.$' "
            "2>/dev/null | head -n 1); [ -n \"$box\" ] || exit 1; "
            "xdotool windowactivate --sync \"$box\" 2>/dev/null || xdotool windowfocus --sync \"$box\" 2>/dev/null; "
            "xdotool key --clearmodifiers Return";
        for (int turn = 0; turn < 1200 && !returned; ++turn) {
            int status = -1;
            shell(press, &status);
            // The box closes on the GUI thread; give it time before pressing again.
            waitUntil([&returned] { return returned.load(); }, status == 0 ? 2000 : 50);
        }
        if (!returned) {
            std::fprintf(stderr, "the message box did not appear or could not be closed\n");
            std::_Exit(2);
        }
    });
    window->showMessageBox(Varnix::String(u"Cannot open/read/write file '/r\u00e9seau/drData/DrConfig.txt'"),
                           Varnix::String(u"Fatal error: Cannot create default config file."));
    returned = true;
    dismisser.join();
    boxes.Unregister();

    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(boxes.closed, 1);
    EXPECT_EQ(boxes.message, "Cannot open/read/write file '/r\xC3\xA9seau/drData/DrConfig.txt'");
    EXPECT_EQ(boxes.caption, "Fatal error: Cannot create default config file.");
    EXPECT_EQ(boxes.style & (wxOK | wxCANCEL | wxYES_NO | wxCENTRE), wxOK | wxCENTRE);
}
