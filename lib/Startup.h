// The library's start-up and shutdown. Units start in dependency order from
// here, never from static initialisers: a static library drops objects that
// nothing references.
#pragma once

void LibraryStartup();
void LibraryShutdown();

// Starts the library for the lifetime of a scope (a program's main).
class TLibraryScope {
public:
    TLibraryScope() { LibraryStartup(); }
    ~TLibraryScope() { LibraryShutdown(); }
    TLibraryScope(const TLibraryScope&) = delete;
    TLibraryScope& operator=(const TLibraryScope&) = delete;
};
