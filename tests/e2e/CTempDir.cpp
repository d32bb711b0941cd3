#include "CTempDir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

CTempDir::CTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumenfeed-e2e.XXXXXX").string();
    if (mkdtemp(pattern.data()))
        path = pattern;
}

CTempDir::~CTempDir() {
    if (path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
