// What the loaded codec library says of itself, for the notice window.
#pragma once

#include <string>

struct CodecLibraryInfo {
    std::string codecFileName; // e.g. libavcodec.so.59
    std::string utilFileName;  // e.g. libavutil.so.57
    std::string version;       // e.g. 59.37.100
    std::string licence;       // e.g. "GPL version 2 or later"
};

// Loads the libraries for the moment of the call (a missing one ends the
// program with its message, as everywhere else).
CodecLibraryInfo ReadCodecLibraryInfo();
