// DestinationFolder on Windows: paths instead of a folder descriptor, C runtime
// descriptors opened in binary mode, MoveFileExW for the final move.
#ifdef _WIN32

#include "DestinationFolder.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <filesystem>
#include <system_error>

namespace kestrup_services {

namespace fs = std::filesystem;

namespace {

fs::path nativePath(const std::string& utf8) { return fs::u8path(utf8); }

std::string errorText(const std::string& what, const std::error_code& code) {
    return what + ": " + code.message();
}

// What is at `path` without following a link; links and junctions count as neither
// file nor folder here.
fs::file_status entryStatus(const fs::path& path, std::error_code& code) {
    const fs::file_status status = fs::symlink_status(path, code);
    if (code) return status;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return fs::file_status(fs::file_type::symlink);
    }
    return status;
}

}  // namespace

bool makeFolders(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "empty folder name";
        return false;
    }
    std::error_code code;
    fs::create_directories(nativePath(path), code);
    if (code) {
        error = errorText("cannot create folder " + path, code);
        return false;
    }
    if (!fs::is_directory(nativePath(path), code)) {
        error = path + " is not a folder";
        return false;
    }
    return true;
}

std::unique_ptr<DestinationFolder> DestinationFolder::open(const std::string& path, std::string& error,
                                                           bool createMissing) {
    if (createMissing && !makeFolders(path, error)) return nullptr;
    std::error_code code;
    if (!fs::is_directory(nativePath(path), code)) {
        error = "cannot open folder " + path + ": " + (code ? code.message() : "not a folder");
        return nullptr;
    }
    return std::unique_ptr<DestinationFolder>(new DestinationFolder(path, UniqueFd()));
}

UniqueFd DestinationFolder::createExclusive(const std::string& name, std::string& error) {
    if (!isPlainFileName(name)) {
        error = "invalid file name";
        return UniqueFd();
    }
    if (!removeFile(name)) {
        error = "cannot remove the old " + pathOf(name);
        return UniqueFd();
    }
    UniqueFd fd(::_wopen(nativePath(pathOf(name)).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE));
    if (!fd.valid()) error = errorText("cannot create " + pathOf(name), std::error_code(errno, std::generic_category()));
    return fd;
}

UniqueFd DestinationFolder::openOwnRegular(const std::string& name) {
    if (!isPlainFileName(name)) return UniqueFd();
    const fs::path path = nativePath(pathOf(name));
    std::error_code code;
    if (entryStatus(path, code).type() != fs::file_type::regular || code) return UniqueFd();
    return UniqueFd(::_wopen(path.c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT));
}

bool DestinationFolder::removeFile(const std::string& name) {
    if (!isPlainFileName(name)) return false;
    const fs::path path = nativePath(pathOf(name));
    std::error_code code;
    const fs::file_status status = entryStatus(path, code);
    if (status.type() == fs::file_type::not_found) return true;
    if (code || status.type() == fs::file_type::directory) return false;
    fs::remove(path, code);
    return !code;
}

bool DestinationFolder::moveIntoPlace(const std::string& from, const std::string& to, std::string& error) {
    if (!isPlainFileName(from) || !isPlainFileName(to)) {
        error = "invalid file name";
        return false;
    }
    const fs::path source = nativePath(pathOf(from));
    const fs::path target = nativePath(pathOf(to));
    // A few rounds at most: another process may create or remove `to` in between.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::error_code code;
        const fs::file_status status = entryStatus(target, code);
        if (code && status.type() != fs::file_type::not_found) {
            error = errorText("cannot inspect " + pathOf(to), code);
            return false;
        }
        const bool exists = status.type() != fs::file_type::not_found;
        if (exists && status.type() != fs::file_type::regular) {
            error = pathOf(to) + " exists and is not a regular file";
            return false;
        }
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (exists ? MOVEFILE_REPLACE_EXISTING : 0);
        if (::MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
        const DWORD failure = ::GetLastError();
        if (!exists && (failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS)) continue;
        error = errorText((exists ? "cannot replace " : "cannot rename to ") + pathOf(to),
                          std::error_code(static_cast<int>(failure), std::system_category()));
        return false;
    }
    error = pathOf(to) + " keeps changing";
    return false;
}

}  // namespace kestrup_services

#endif  // _WIN32
