#pragma once
// Whole-file reads and crash-safe replacement of small files (such as the
// registry), on the system's own file calls. Paths are UTF-8. Safe from any thread.
#include <string>

namespace platform {

// Reads the whole file. False when it is missing, a folder, or cannot be read;
// `content` is then left alone. Readers never keep a writer from replacing the file.
bool readWholeFile(const std::string& path, std::string& content);

// Writes `content` to a fresh file beside `path`, flushes it to disk and moves it
// over `path` (replacing it), so that a reader, or the file after a crash, is
// either the old or the new content. A new file gets the usual permissions
// (rw-r--r-- on POSIX). False when any step fails; no temporary file is left then.
bool replaceFileDurably(const std::string& path, const std::string& content);

}  // namespace platform
