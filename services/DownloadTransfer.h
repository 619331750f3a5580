#pragma once
// One download, start to end, on the calling thread: the part of the download
// service that touches the network and the disk. DownloadService runs it on its
// workers; tests and the benchmark may call it directly.
#include <cstdint>
#include <functional>
#include <string>

#include "DownloadService.h"

namespace kestrup_services {

class CurlCancel;

// What to download and where. Built from a "Start" (or its record, for a Resume).
struct DownloadTask {
    std::string url;
    std::string folder;      // absolute or relative destination folder
    std::string fileName;    // the clean final name inside `folder`
    std::string fileHash;    // expected SHA-256 hex; empty = no check
    std::string sessionId;   // text form; names the partial file
    std::string userName;    // used when useAuth; never persisted
    std::string password;
    bool useAuth = false;
    // The strong validator (ETag, else Last-Modified) of the response the partial
    // file's bytes came from; empty when the server gave none. A resume sends it as
    // If-Range, so that bytes of a replaced file are never appended to the old ones.
    std::string validator;
};

// Whether `a` and `b` fetch the same file into the same place: a new Start of such a
// task may continue the other's partial file.
bool sameFile(const DownloadTask& a, const DownloadTask& b);

// The partial file's name for a task: "." + fileName + "." + sessionId + ".part".
// The leading dot keeps it apart from every final name (which never starts with one).
std::string partialFileName(const DownloadTask& task);

// Checks what can be checked before any byte moves: a URL with scheme http, https or
// file and no control characters, a hash that is empty or 64 hex digits, a folder.
// Empty when fine, else the reason; `code` gets the failure to report.
std::string validateTask(const DownloadTask& task, DownloadFailure& code);

struct DownloadOutcome {
    enum End { Finished, Failed, Aborted, Stopped };
    End end = Failed;
    DownloadFailure failure = DownloadFailure::TransferFailed;  // when Failed
    std::string text;        // why it failed (Failed)
    std::string path;        // the verified file (Finished)
    bool resumable = false;  // Failed or Stopped with a partial file kept for a Resume
};

// Called from inside the transfer: bytes so far (including resumed ones), total
// bytes (0 when unknown), bytes per second.
typedef std::function<void(uint64_t, uint64_t, uint64_t)> ProgressFunction;
// Called from inside the transfer when the file starts over from byte 0, with the
// validator of the response that now fills it ("" when it has none).
typedef std::function<void(const std::string&)> ValidatorFunction;

// Downloads `task`. With `resume`, an own partial file of the session is continued by
// a Range request with If-Range: task.validator; a 206 is taken only with that same
// validator, a 200 starts the file over. Without a validator, or for file URLs, the
// download starts afresh. Installers are asked for without content encoding, as
// their digest is of the stored bytes. Rate-limited progress goes to `progress`
// (may be empty). `cancel` ends the transfer: Abort deletes the partial file
// (Aborted), Stop keeps it (Stopped).
DownloadOutcome runDownload(const DownloadTask& task, bool resume, const DownloadServiceOptions& options,
                            CurlCancel& cancel, const ProgressFunction& progress,
                            const ValidatorFunction& validatorChanged = ValidatorFunction());

}  // namespace kestrup_services
