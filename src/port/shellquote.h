#pragma once
// Text that goes inside a double-quoted word of the command line handed to
// the command interpreter (see ChildProcess in port/process.h).

#include <string>

namespace Varnix::Port {

// `piece` written so that the interpreter takes it as plain text inside
// double quotes, when `follower` is the character that comes right after it
// in the command line. For /bin/sh a backslash goes before $, `, " and before
// a backslash that would otherwise escape what follows; an ordinary path
// comes back unchanged. cmd.exe needs nothing (a file name cannot hold a
// double quote), so on Windows every piece comes back unchanged. Any thread.
std::u16string quoteForCommandLine(const std::u16string& piece, char16_t follower);

// Whether the interpreter replaces %NAME% by a variable's value inside
// double quotes, which no quoting prevents: on Windows when NAME is set in
// this process's environment (cmd.exe), never for /bin/sh. Any thread.
bool interpreterExpandsVariable(const std::u16string& name);

}  // namespace Varnix::Port
