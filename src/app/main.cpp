// The application object for the library's factory: wxEntry, called by the
// program's entry point (ProgramEntry_gtk.cpp, ProgramEntry_msw.cpp) when the
// node runs with its window, creates DrApp.
#include "app/DrApp.h"

wxIMPLEMENT_APP_NO_MAIN(DrApp);
