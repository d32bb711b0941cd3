// A private directory for one test, removed with everything in it.
#pragma once

#include <string>

class CTempDir {
public:
    CTempDir();
    virtual ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    bool Ok() const { return !path.empty(); }
    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};
