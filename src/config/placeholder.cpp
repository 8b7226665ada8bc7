// Placeholder until the config subsystem has sources.
