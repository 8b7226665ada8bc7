// Placeholder until the node subsystem has sources.
