#include "app/DataDirectory.h"

#include "app/WxText.h"

#include <wx/filefn.h>

namespace Varnix {

String prepareDataDirectory() {
    wxString directory = wxGetCwd() + wxT("/drData/");
    if (!wxDirExists(directory)) wxMkdir(directory);
    return fromWxString(directory);
}

}  // namespace Varnix
