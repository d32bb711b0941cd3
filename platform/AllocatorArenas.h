// How many heaps the C library's allocator keeps for the threads of the
// process. Every connection starts and ends threads of its own (the sound
// server's loops, capture delivery, decoding); left to itself the allocator
// gives new threads heaps of their own, up to eight per core, and each keeps
// much of what it freed, so resident memory creeps up connection after
// connection.
#pragma once

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

// Before any thread starts.
inline void LimitAllocatorArenas(int arenas) {
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, arenas);
#else
    (void)arenas;
#endif
}

} // namespace platform
