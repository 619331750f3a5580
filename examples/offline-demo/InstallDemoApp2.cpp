// The installer of version 2 of the demo application, as a Windows program (the
// offline demo on Linux uses install-demo-app-2.sh, which does the same).
// Installing it means recording version 2 in the host's registry:
//   install-demo-app-2.exe REGISTRY_FILE APPLICATION_ID
// The registry is rewritten into a temporary file, flushed, and moved into place,
// so a reader never sees it half-written. The arguments are read as UTF-16
// (wmain), so a registry path outside the ANSI code page arrives intact.
#include <windows.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const char kNewVersion[] = "2";

// Sets the version of `application`'s entry; every other entry stays as it is.
// False when the registry does not list the application.
bool setVersion(std::string& registry, const std::string& application, const std::string& version) {
    const std::string prefix = "id=\"" + application + "\" version=\"";
    const std::size_t start = registry.find(prefix);
    if (start == std::string::npos) return false;
    const std::size_t first = start + prefix.size();
    const std::size_t end = registry.find('"', first);
    if (end == std::string::npos) return false;
    registry.replace(first, end - first, version);
    return true;
}

// Writes `text` to a new file at `path` and flushes it to the disk. The Win32
// error, or ERROR_SUCCESS.
DWORD writeDurably(const std::filesystem::path& path, const std::string& text) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
    DWORD written = 0;
    const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && ::FlushFileBuffers(file);
    const DWORD error = ok ? ERROR_SUCCESS : written != text.size() ? ERROR_WRITE_FAULT : ::GetLastError();
    ::CloseHandle(file);
    return error;
}

int fail(const std::string& what) {
    std::cerr << "install-demo-app-2: " << what << "\n";
    return 1;
}

// `error` is taken right after the failed call: writing the message would overwrite it.
int failWith(const std::string& what, DWORD error) { return fail(what + " (error " + std::to_string(error) + ")"); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::cerr << "usage: install-demo-app-2 REGISTRY_FILE APPLICATION_ID\n";
        return 2;
    }
    const std::filesystem::path registry(argv[1]);
    const std::string application = std::filesystem::path(argv[2]).u8string();

    std::string updated;
    {  // closed before the move: Windows does not replace a file that is open
        std::ifstream input(registry, std::ios::binary);
        std::stringstream text;
        if (!input || !(text << input.rdbuf())) return fail("cannot read " + registry.u8string());
        updated = text.str();
    }
    if (!setVersion(updated, application, kNewVersion)) {
        return fail("application " + application + " is not in " + registry.u8string());
    }
    std::filesystem::path temporary = registry;
    temporary += L".install.tmp";
    const DWORD writeError = writeDurably(temporary, updated);
    if (writeError != ERROR_SUCCESS) return failWith("cannot write " + temporary.u8string(), writeError);
    if (!::MoveFileExW(temporary.c_str(), registry.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        return failWith("cannot replace " + registry.u8string(), error);
    }

    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::filesystem::path log = registry;
    log += L".install.log";
    std::ofstream(log, std::ios::app) << stamp << " installed version " << kNewVersion << " of " << application
                                      << "\n";
    return 0;
}
