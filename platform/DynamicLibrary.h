// Loading shared libraries by file name and finding their entry points.
#pragma once

#include <string>

namespace platform {

// Null when the library cannot be loaded.
void* LoadLibrary(const std::string& fileName);
// Null when the library has no such entry point.
void* GetProcAddress(void* module, const char* name);
void FreeLibrary(void* module);
// True while the process holds the library loaded.
bool IsLibraryLoaded(const std::string& fileName);

// Binds one entry point to a function pointer of its type; false, with the
// pointer null, when the library has none of that name.
template <typename F> bool Bind(void* module, F& entry, const char* name) {
    entry = reinterpret_cast<F>(GetProcAddress(module, name));
    return entry != nullptr;
}

} // namespace platform
