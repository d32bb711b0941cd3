#include "DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

void* LoadLibrary(const std::string& fileName) {
    return dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(void* module, const char* name) {
    return module ? dlsym(module, name) : nullptr;
}

void FreeLibrary(void* module) {
    if (module) dlclose(module);
}

bool IsLibraryLoaded(const std::string& fileName) {
    void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}

} // namespace platform
