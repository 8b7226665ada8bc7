#pragma once
// The log view scrolls to each new batch of lines at once, without an
// animated slide: GTK animates every scroll by redrawing the whole view on
// each frame for a while, which cost the GUI thread several times the CPU of
// the job thread relaying the dumps that the lines report. Nothing shown
// changes but the slide; the Windows control never animates.

// Turns animated scrolling off for this process's widgets. GUI thread,
// once the GUI library has started; never fails (without the setting the
// view still works, only dearer).
void stopViewAnimations();
