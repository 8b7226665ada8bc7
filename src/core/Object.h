#pragma once

namespace Varnix {

// The empty root of the core library's class tree.
class Object {};

}  // namespace Varnix
