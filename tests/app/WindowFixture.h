#pragma once

#include "app/DrWindow.h"
#include "app/GuiTestSupport.h"

#include <string>
#include <wx/textctrl.h>
#include <wx/weakref.h>

namespace VarnixTest {

// A real DrWindow in this process, in a fresh working directory.
class WindowTest : public WorkingDirectoryTest {
protected:
    void SetUp() override {
        WorkingDirectoryTest::SetUp();
        if (HasFatalFailure()) return;
        startGuiLibrary();
        window = new DrWindow();
        windowRef = window;
    }

    void TearDown() override {
        if (windowRef) {
            windowRef->Close(true);
            pumpUntil([&] { return !windowRef; }, 5000);
        }
        WorkingDirectoryTest::TearDown();
    }

    // The window's multi-line log view.
    wxTextCtrl* logView() const {
        for (wxWindow* child : window->GetChildren())
            if (auto* text = dynamic_cast<wxTextCtrl*>(child)) return text;
        return nullptr;
    }

    // Runs the event loop until DrLog.txt holds `lines` line feeds.
    std::string waitForLogLines(size_t lines, int timeoutMs = 5000) {
        std::string text;
        pumpUntil(
            [&] {
                text = withoutServiceLines(readFile(logPath));
                return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines;
            },
            timeoutMs);
        return text;
    }

    // Closes the window and runs the loop until the library has destroyed it.
    bool closeAndWaitDestroyed(bool force = true) {
        window->Close(force);
        return pumpUntil([&] { return !windowRef; }, 5000);
    }

    DrWindow* window = nullptr;
    wxWeakRef<DrWindow> windowRef;
};

}  // namespace VarnixTest
