#pragma once

// Base of the classes that own one system object (a socket, a handle, a
// lock): such an object is neither copied nor assigned, so that exactly one
// owner closes it. Derive privately.

namespace Varnix::Port {

class NotCopyable {
public:
    NotCopyable(const NotCopyable&) = delete;
    NotCopyable& operator=(const NotCopyable&) = delete;

protected:
    NotCopyable() = default;
    ~NotCopyable() = default;
};

}  // namespace Varnix::Port
