// Placeholder until the core library has sources.
