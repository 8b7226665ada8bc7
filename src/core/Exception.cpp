#include "core/Exception.h"

#include <new>

namespace Varnix {

Exception::Exception(const String& message, std::int32_t code)
    : std::exception(), Polymorphic(), message(message), code(code) {}

Exception::Exception(const Exception& other)
    : std::exception(other), Polymorphic(), message(other.message), code(other.code) {}

Exception::~Exception() = default;

Exception Exception::fileError(const String& path) {
    return Exception("Cannot open/read/write file '" + path + String("'"), fileErrorCode);
}

const char* Exception::what() const noexcept {
    try {
        return message.toNarrow();
    } catch (const std::bad_alloc&) {
        // Nothing may escape what(); out of memory the text is the
        // allocation failure itself.
        return "bad allocation";
    }
}

String Exception::getMessage() const { return message; }

}  // namespace Varnix
