// Placeholder until the application shell has sources.
