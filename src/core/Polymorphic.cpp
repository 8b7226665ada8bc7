#include "core/Polymorphic.h"

#include <cstdlib>
#include <new>

namespace Varnix {

Polymorphic::~Polymorphic() = default;

void* Polymorphic::operator new(std::size_t size) {
    void* memory = std::malloc(size > 0 ? size : 1);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void Polymorphic::operator delete(void* memory) noexcept { std::free(memory); }

}  // namespace Varnix
