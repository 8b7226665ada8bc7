// Placeholder until the platform layer has sources.
