#pragma once

namespace Varnix::Port {

// For the platform files only: true when the test hook of
// failThreadCreationAfter says that this creation must fail. Any thread.
bool threadCreationRefusedForTests();

}  // namespace Varnix::Port
