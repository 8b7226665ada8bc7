#pragma once

#include "core/Object.h"

#include <cstddef>

namespace Varnix {

// Root of the classes deleted through a base pointer. Heap instances come
// from malloc and go back with free (a failed allocation throws
// std::bad_alloc), like every other allocation of the core library.
class Polymorphic : public Object {
public:
    virtual ~Polymorphic();

    static void* operator new(std::size_t size);
    static void operator delete(void* memory) noexcept;
};

}  // namespace Varnix
