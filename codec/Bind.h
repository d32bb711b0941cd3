// Binds one entry point of a library loaded at run time, by its name.
#pragma once

#include "platform/DynamicLibrary.h"

template <typename F> bool Bind(void* module, F& entry, const char* name) {
    entry = reinterpret_cast<F>(platform::GetProcAddress(module, name));
    return entry != nullptr;
}
