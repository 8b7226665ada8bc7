#pragma once
// Running an administrator's command from an ordinary desktop session, with
// the system's own consent prompt: the companion's way of stopping the node
// service, which the session's user may not stop without elevation.

namespace Varnix::Port {

// True where a command can be run elevated this way (Windows); false
// elsewhere, where the service manager (systemctl, an init script) stops the
// headless node and the companion offers no such entry. Any thread.
bool canRunElevated();

// Starts `program`, a program of the system's own folder (System32) named by
// its file name, so that no copy elsewhere on the search path is taken, with
// `parameters` (UTF-16, NUL-terminated) elevated, without a console window.
// Returns once the admin has answered the prompt; does not wait for the
// program itself. False when
// it could not be started: the admin declined the prompt, the system refused,
// or there is no such thing here (always on POSIX, which runs nothing). The
// GUI thread: the consent prompt belongs to the session's desktop.
bool runElevated(const char16_t* program, const char16_t* parameters);

}  // namespace Varnix::Port
