#pragma once

// The last word of a worker thread whose task failed.

namespace Varnix::Port {

// Shows `text` under `caption` (both NUL-terminated UTF-16) to whoever sits
// at the machine and returns once it has been seen: a modal message box with
// only an OK button on Windows (blocks until closed), the caption and text on
// standard error elsewhere. The caller ends the process afterwards. Any thread.
void showTaskFailure(const char16_t* text, const char16_t* caption);

}  // namespace Varnix::Port
