#pragma once
// The W calls take a path of path.h as it is: char16_t and wchar_t are both
// UTF-16 code units on Windows. For the _win32.cpp files only.

namespace Varnix::Port {

inline const wchar_t* systemPath(const char16_t* path) { return reinterpret_cast<const wchar_t*>(path); }

}  // namespace Varnix::Port
