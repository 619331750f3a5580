#pragma once
#include <string>

#include "Export.h"

// A path with host variables. "%USER_DATA%" expands to the per-user data folder:
// Linux $XDG_DATA_HOME, else $HOME/.local/share; Windows %LOCALAPPDATA%.
class KESTRUP_HOST_API CorvanePath {
public:
    explicit CorvanePath(const std::string& path);
    // The expanded path made absolute, with "." and ".." resolved and repeated
    // separators folded (the folder need not exist). A trailing separator of the
    // input is kept. Empty when the variable cannot be expanded.
    std::string getCanonicalPath() const;

private:
    std::string m_path;
};

// The environment variable that names the per-user data folder on this platform
// ("XDG_DATA_HOME" on Linux, "LOCALAPPDATA" on Windows).
KESTRUP_HOST_API const char* userDataEnvironmentVariable();
