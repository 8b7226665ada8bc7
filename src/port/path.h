#pragma once
// Paths. Every file function of this layer takes a path in one form:
// NUL-terminated UTF-16, as Varnix::String holds it (wideCString), and it
// alone turns the path into the system's name. Callers never convert a path
// themselves. On POSIX a name is bytes, and the conversion is the reversible
// file-name codec (encoding.h), so a path that came from the system reaches
// it again as the same bytes, UTF-8 or not. Any thread; nothing here throws
// but std::bad_alloc.

#include <string>

namespace Varnix::Port {

// A name the system gave as NUL-terminated bytes, as a path of this layer.
std::u16string pathFromSystem(const char* bytes);

// The path as the bytes a program that takes narrow names needs: on POSIX
// the bytes the name was found as; on Windows its ANSI code page form, where
// a character outside the code page becomes '?'.
std::string narrowPath(const char16_t* path);

}  // namespace Varnix::Port
