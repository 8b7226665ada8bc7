#include "app/ViewAnimations.h"

// GTK's headers do not come with the wxWidgets package; these are the two
// calls needed, by their C signatures, from the GTK the library links.
extern "C" {
struct _GtkSettings;
_GtkSettings* gtk_settings_get_default(void);
void g_object_set(void* object, const char* firstProperty, ...);
}

void stopViewAnimations() {
    // Process-wide: every scrolled view takes its animation setting from here.
    if (_GtkSettings* settings = gtk_settings_get_default())
        g_object_set(settings, "gtk-enable-animations", 0, static_cast<void*>(nullptr));
}
