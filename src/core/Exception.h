#pragma once

#include "core/Polymorphic.h"
#include "core/String.h"

#include <cstdint>
#include <exception>

namespace Varnix {

// The program's error: a message and a code. Thrown by value, caught by
// reference. Not shared between threads while in flight.
class Exception : public std::exception, public Polymorphic {
public:
    // Code of every failed file access (see fileError).
    static constexpr std::int32_t fileErrorCode = 456;
    // Code of the exception that ends the process after a task failed.
    static constexpr std::int32_t taskFailureCode = 123;
    // Code of a worker thread that could not be created.
    static constexpr std::int32_t threadCreationCode = 124;

    Exception(const String& message, std::int32_t code);
    Exception(const Exception& other);
    ~Exception() override;

    // "Cannot open/read/write file '<path>'", code 456.
    static Exception fileError(const String& path);

    // The message as narrow text, valid while the exception lives and until
    // the next call.
    const char* what() const noexcept override;
    String getMessage() const;
    std::int32_t getCode() const noexcept { return code; }

private:
    mutable String message;  // what() refreshes its narrow cache
    std::int32_t code;
};

}  // namespace Varnix
