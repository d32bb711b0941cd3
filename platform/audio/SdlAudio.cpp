#include "SdlAudio.h"

#include <SDL.h>

#include <mutex>

namespace platform {

static std::mutex sdlLock;

CSdlAudio::CSdlAudio() {
    std::lock_guard guard(sdlLock);
    // SDL must not take over SIGINT and SIGTERM from the application.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Lumenfeed");
    ok = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
}

CSdlAudio::~CSdlAudio() {
    std::lock_guard guard(sdlLock);
    if (ok) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

} // namespace platform
