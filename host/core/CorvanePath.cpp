#include "host/CorvanePath.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char kUserDataVariable[] = "%USER_DATA%";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// The per-user data folder, or empty when the environment does not name one.
std::string userDataFolder() {
#if defined(_WIN32)
    return environment(userDataEnvironmentVariable());
#else
    const std::string xdg = environment(userDataEnvironmentVariable());
    // The XDG rules say a relative value is invalid and must be ignored.
    if (!xdg.empty() && fs::u8path(xdg).is_absolute()) {
        return xdg;
    }
    const std::string home = environment("HOME");
    if (home.empty()) {
        return std::string();
    }
    return home + "/.local/share";
#endif
}

bool isSeparator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// Replaces every "%USER_DATA%"; false when the path needs it and it has no value.
bool expandVariables(std::string& path) {
    std::string::size_type at = path.find(kUserDataVariable);
    if (at == std::string::npos) {
        return true;
    }
    const std::string folder = userDataFolder();
    if (folder.empty()) {
        return false;
    }
    while (at != std::string::npos) {
        path.replace(at, sizeof(kUserDataVariable) - 1, folder);
        at = path.find(kUserDataVariable, at + folder.size());
    }
    return true;
}

}  // namespace

const char* userDataEnvironmentVariable() {
#if defined(_WIN32)
    return "LOCALAPPDATA";
#else
    return "XDG_DATA_HOME";
#endif
}

CorvanePath::CorvanePath(const std::string& path) : m_path(path) {}

std::string CorvanePath::getCanonicalPath() const {
    std::string expanded = m_path;
    if (expanded.empty() || !expandVariables(expanded)) {
        return std::string();
    }
    const bool trailingSeparator = isSeparator(expanded.back());

    std::error_code error;
    fs::path absolute = fs::absolute(fs::u8path(expanded), error);
    if (error) {
        return std::string();
    }
    fs::path normal = absolute.lexically_normal();
#if defined(_WIN32)
    normal.make_preferred();
#endif
    std::string result = normal.u8string();

    // lexically_normal leaves a separator after a final "." or ".."; the input's own
    // ending decides instead. The root keeps its separator.
    const std::string root = normal.root_path().u8string();
    while (result.size() > root.size() && isSeparator(result.back())) {
        result.pop_back();
    }
    if (trailingSeparator && result.size() > root.size()) {
        result += static_cast<char>(fs::path::preferred_separator);
    }
    return result;
}
