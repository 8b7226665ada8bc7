#pragma once

#include <wx/app.h>

// The application object: made by the library's factory (main.cpp), it sets
// up the process-wide services and opens the log window. GUI thread only.
class DrApp : public wxApp {
public:
    // Runs before the toolkit starts: settings the toolkit reads at its start
    // are made here.
    DrApp();
    // Always returns true when it returns; an exception from the window's
    // construction (DrLog.txt cannot be opened) leaves it and ends start-up.
    bool OnInit() override;
    ~DrApp() override;
};
