// Program entry: the library's platform entry point (WinMain on Windows,
// main elsewhere) hands over to wxEntry, which creates DrApp.
#include "app/DrApp.h"

wxIMPLEMENT_APP(DrApp);
