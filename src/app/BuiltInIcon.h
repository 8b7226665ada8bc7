#pragma once

#include <wx/icon.h>

// The built-in picture as an icon. Needs the PNG image handler registered
// (DrApp::OnInit does that); without it the icon is invalid (!IsOk()) and the
// window and tray simply show none. GUI thread only.
wxIcon makeBuiltInIcon();
