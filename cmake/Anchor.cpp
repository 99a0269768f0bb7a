// Keeps the core library non-empty while its folders are filled in.
