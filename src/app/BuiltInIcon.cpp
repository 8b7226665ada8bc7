#include "app/BuiltInIcon.h"

#include "app/BuiltInPicture.h"

#include <wx/bitmap.h>
#include <wx/image.h>
#include <wx/mstream.h>

wxIcon makeBuiltInIcon() {
    wxMemoryInputStream stream(Varnix::builtInPicture, Varnix::builtInPictureSize);
    wxImage image(stream, wxBITMAP_TYPE_ANY, -1);
    wxIcon icon;
    if (!image.IsOk()) return icon;
    wxBitmap bitmap(image, -1);
    icon.CopyFromBitmap(bitmap);
    return icon;
}
