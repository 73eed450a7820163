// Placeholder until the component lands.
