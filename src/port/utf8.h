#pragma once

// UTF-8 to and from UTF-16, written once for every platform: POSIX narrow
// text and file names go through it, and so does the registry file on every
// platform. The calls follow the Windows conversion contract: with a null
// output they only count; counts include whatever terminator the input
// holds; 0 when `out` is too small. They never fail on bad input. Any thread.

namespace Varnix::Port::Utf8 {

// What happens to bytes that are not well-formed UTF-8, and to lone
// surrogates on the way back.
enum class BadInput {
    // Text: each byte that is not part of a well-formed sequence becomes
    // one U+FFFD; a lone surrogate encodes as '?'.
    replace,
    // File names: a bad byte becomes the lone surrogate U+DC80..U+DCFF of its
    // value and encodes back to that byte (as Python's surrogateescape);
    // other lone surrogates encode as '?'.
    escape,
    // A UTF-8 marked DrConfig.txt: a bad byte becomes U+100000 plus its value
    // (a surrogate pair), so that no byte is lost; an encoded surrogate is
    // taken as the unit it names (a folder may have such a name); a sequence
    // naming U+100000..U+1000FF itself counts as bad, so that it stays apart
    // from the kept bytes. Encodes as `replace`.
    keepBytes
};

// Decodes `byteCount` bytes into at most `outCapacity` UTF-16 units at `out`
// (or only counts when `out` is null). Returns the units written or needed.
int decode(const char* text, int byteCount, char16_t* out, int outCapacity, BadInput bad);

// Encodes `unitCount` UTF-16 units into at most `outCapacity` bytes at `out`
// (or only counts when `out` is null). Returns the bytes written or needed.
int encode(const char16_t* text, int unitCount, char* out, int outCapacity, BadInput bad);

}  // namespace Varnix::Port::Utf8
