#pragma once

namespace Varnix::Port {

enum class StandardStream { Output, Error };

// True when the stream is an interactive terminal, where progress lines that
// rewrite themselves make sense. False when redirected or on failure. Any thread.
bool isTerminal(StandardStream stream);

// From now on Ctrl-C (and a termination request of the console or session)
// is counted instead of ending the process. Call once, from the main thread,
// before starting other threads. Never fails.
void catchInterrupts();

// How many interrupts arrived since catchInterrupts. Any thread; never blocks.
int interruptCount();

}  // namespace Varnix::Port
