#include "port/encoding.h"

#include "port/utf8.h"

// Narrow text and file names are UTF-8 here.

namespace Varnix::Port {

int narrowToWide(const char* text, int byteCount, char16_t* out, int outCapacity) {
    return Utf8::decode(text, byteCount, out, outCapacity, Utf8::BadInput::replace);
}

int wideToNarrow(const char16_t* text, int unitCount, char* out, int outCapacity) {
    return Utf8::encode(text, unitCount, out, outCapacity, Utf8::BadInput::replace);
}

int fileNameToWide(const char* text, int byteCount, char16_t* out, int outCapacity) {
    return Utf8::decode(text, byteCount, out, outCapacity, Utf8::BadInput::escape);
}

int wideToFileName(const char16_t* text, int unitCount, char* out, int outCapacity) {
    return Utf8::encode(text, unitCount, out, outCapacity, Utf8::BadInput::escape);
}

}  // namespace Varnix::Port
