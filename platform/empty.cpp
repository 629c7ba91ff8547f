// Keeps a library that has no sources yet buildable.
