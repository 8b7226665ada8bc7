#pragma once

// Conversion between the system's narrow text (the ANSI code page on Windows,
// UTF-8 on other systems) and UTF-16. Both calls follow the Windows
// conversion contract: with a null output they only count; counts include
// whatever terminator the input holds. They never fail on bad input: bytes
// that do not decode become U+FFFD, units that do not encode become the
// code page's default character ('?'). Any thread.

namespace Varnix::Port {

// Converts `byteCount` bytes of narrow text into at most `outCapacity` UTF-16
// units at `out` (or only counts when `out` is null). Returns the number of
// units written or needed; 0 when `out` is too small.
int narrowToWide(const char* text, int byteCount, char16_t* out, int outCapacity);

// Converts `unitCount` UTF-16 units into at most `outCapacity` bytes at `out`
// (or only counts when `out` is null). Returns the number of bytes written or
// needed; 0 when `out` is too small.
int wideToNarrow(const char16_t* text, int unitCount, char* out, int outCapacity);

// The same two conversions for file names (paths, directory entries, and the
// command line that holds them). On Windows they are the ones above. On
// POSIX a name is bytes, and decoding is reversible: each byte that is not
// part of well-formed UTF-8 becomes the lone surrogate U+DC80..U+DCFF of its
// value and encodes back to that byte (as Python's surrogateescape), so that
// a name found in a directory opens and deletes as itself. Other lone
// surrogates still become '?'.
int fileNameToWide(const char* text, int byteCount, char16_t* out, int outCapacity);
int wideToFileName(const char16_t* text, int unitCount, char* out, int outCapacity);

}  // namespace Varnix::Port
