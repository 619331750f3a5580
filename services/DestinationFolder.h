#pragma once
#include <memory>
#include <string>

namespace kestrup_services {

// Owns a file descriptor; closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// A folder that downloads are written into. Every entry is reached relative to the
// folder's own descriptor by a plain name (never a path), and no operation follows a
// symbolic link planted at an entry's name, so nothing is ever written or replaced
// outside the folder. Not thread-safe; one per transfer. On Windows (no descriptor
// for a folder) entries are reached by path, files are opened in binary mode, and
// an entry that is a link or junction is refused the same way.
class DestinationFolder {
public:
    // Opens the folder, creating missing folders on the way with mode 0700 unless
    // `createMissing` is false. Null, with `error` set, when it cannot be created or
    // opened.
    static std::unique_ptr<DestinationFolder> open(const std::string& path, std::string& error,
                                                   bool createMissing = true);

    const std::string& path() const { return m_path; }
    std::string pathOf(const std::string& name) const;

    // Creates `name` afresh, exclusively and owner-only (0600), for reading and
    // writing. A leftover entry of that name that is not a folder (an old file, a
    // link) is removed first, without following it. Invalid fd and `error` when the
    // file cannot be created.
    UniqueFd createExclusive(const std::string& name, std::string& error);
    // Opens an existing regular file of ours (owned by this user, not a link) for
    // reading and writing. Invalid fd when there is none or it is not ours.
    UniqueFd openOwnRegular(const std::string& name);
    // Removes the entry when it is not a folder (a link itself, not its target).
    // True when nothing of that name is left.
    bool removeFile(const std::string& name);
    // Renames `from` to `to` inside the folder. A regular file at `to` is replaced
    // atomically; a link, folder or other entry there fails the move and is left
    // alone.
    bool moveIntoPlace(const std::string& from, const std::string& to, std::string& error);
    // Replaces `name` with a file holding `text`: written to "<name>.new", synced to
    // the disk when `durable` (the folder too), then moved into place, so `name`
    // holds the old text or the new one, never a part. False with `error`.
    bool replaceFile(const std::string& name, const std::string& text, bool durable, std::string& error);

private:
    DestinationFolder(const std::string& path, UniqueFd fd);

    std::string m_path;
    UniqueFd m_fd;
};

// Writes all of `text` to `fd`, going on after interruptions; false on an error.
bool writeAll(int fd, const std::string& text);

// A single entry name: not empty, not "." or "..", no separator.
bool isPlainFileName(const std::string& name);

// mkdir -p with mode 0700 for the folders it creates. False with `error` set when a
// component cannot be created or is not a folder.
bool makeFolders(const std::string& path, std::string& error);

}  // namespace kestrup_services
