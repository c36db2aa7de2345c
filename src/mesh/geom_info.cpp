// Filled in with its class family.
