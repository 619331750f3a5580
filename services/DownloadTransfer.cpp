#include "DownloadTransfer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "CurlSupport.h"
#include "DestinationFolder.h"
#include "FileIo.h"
#include "FileNames.h"
#include "HttpHeaders.h"
#include "PipelinedFileWriter.h"
#include "Sha256.h"
#include "bus/UUId.h"

namespace kestrup_services {

namespace {

const long kReceiveBufferBytes = 256 * 1024;
// Hand-over buffers between receiving and writing: 4 MiB in all.
const std::size_t kWriteBufferBytes = 1 << 20;
const std::size_t kWriteBufferCount = 4;
const std::size_t kRehashChunkBytes = 1 << 20;

typedef std::chrono::steady_clock Clock;

// The state that libcurl's callbacks share with the transfer.
struct TransferContext {
    PipelinedFileWriter* writer = nullptr;
    CurlCancel* cancel = nullptr;
    CURL* easy = nullptr;

    uint64_t offset = 0;        // bytes in the file before this response's body
    uint64_t written = 0;       // body bytes of this response written so far
    uint64_t maxFileSize = 0;   // 0: no cap
    bool rangeRequested = false;
    bool firstWrite = true;

    RedirectGuard redirects;
    std::string ifRange;  // the validator a ranged request is sent with
    ValidatorFunction validatorChanged;

    // From the headers of the latest response (a redirect starts a new one).
    std::string etag;
    std::string lastModified;
    bool haveContentRange = false;
    bool contentRangeUnsatisfied = false;  // "bytes */N"
    uint64_t contentRangeStart = 0;
    uint64_t contentRangeTotal = 0;

    enum Error { NoError, TooLarge, WriteFailed, RangeMismatch, ValidatorChanged, Stalled, RedirectRefused };
    Error error = NoError;
    std::string errorText;

    // libcurl's own low-speed check averages over several seconds; this one ends a
    // transfer as soon as nothing arrived for the stall time.
    Clock::duration stallTimeout{};  // zero: no check
    Clock::time_point lastActivity{};
    bool answered = false;  // a response header arrived

    ProgressFunction progress;
    Clock::duration progressInterval{};
    Clock::time_point lastProgress{};
    uint64_t receivedTotal = 0;    // body bytes received over all responses
    uint64_t expectedTotal = 0;    // the whole file's size as announced; 0 when unknown
    Clock::time_point firstStart{};

    uint64_t bytesInFile() const { return offset + written; }
    // A weak ETag does not promise the same bytes, so Last-Modified stands in for it.
    std::string responseValidator() const {
        if (!etag.empty() && etag.compare(0, 2, "W/") != 0) return etag;
        return lastModified;
    }
    // Average receive rate since the transfer began (resumed bytes not counted).
    uint64_t bytesPerSecond() const {
        const double seconds = std::chrono::duration<double>(Clock::now() - firstStart).count();
        return seconds > 0 ? static_cast<uint64_t>(double(receivedTotal) / seconds) : 0;
    }
};

size_t onHeader(char* data, size_t size, size_t count, void* userData) {
    TransferContext* context = static_cast<TransferContext*>(userData);
    const std::size_t length = size * count;
    context->lastActivity = Clock::now();
    context->answered = true;
    if (!context->redirects.onHeaderLine(context->easy, data, length)) {
        context->error = TransferContext::RedirectRefused;
        context->errorText = context->redirects.refusal();
        return 0;
    }
    ContentRange range;
    if (isStatusLine(data, length)) {
        context->haveContentRange = false;
        context->contentRangeUnsatisfied = false;
        context->etag.clear();
        context->lastModified.clear();
    } else if (headerValue(data, length, "etag", context->etag) ||
               headerValue(data, length, "last-modified", context->lastModified)) {
    } else if (parseContentRange(data, length, range)) {
        if (range.form == ContentRange::Partial) {
            context->haveContentRange = true;
            context->contentRangeStart = range.first;
        } else if (range.form == ContentRange::Unsatisfied) {
            context->contentRangeUnsatisfied = true;
            context->contentRangeTotal = range.total;
        }
    }
    return length;
}

// Starts the file over: the server sent the whole file instead of the asked range.
bool restartFile(TransferContext* context) {
    if (!context->writer->restart()) return false;
    context->offset = 0;
    context->written = 0;
    return true;
}

size_t onBody(char* data, size_t size, size_t count, void* userData) {
    TransferContext* context = static_cast<TransferContext*>(userData);
    const std::size_t length = size * count;
    if (context->cancel->cancelled()) return 0;

    if (context->firstWrite) {
        context->firstWrite = false;
        long status = 0;
        curl_easy_getinfo(context->easy, CURLINFO_RESPONSE_CODE, &status);
        if (context->rangeRequested && status == 206) {
            if (!context->haveContentRange || context->contentRangeStart != context->offset) {
                context->error = TransferContext::RangeMismatch;
                context->errorText = "the server sent another range than the one asked for";
                return 0;
            }
            // A server that ignores If-Range may send a range of a replaced file.
            if (context->responseValidator() != context->ifRange) {
                context->error = TransferContext::ValidatorChanged;
                return 0;
            }
        } else {
            if (context->rangeRequested && !restartFile(context)) {
                context->error = TransferContext::WriteFailed;
                context->errorText = context->writer->error();
                return 0;
            }
            if (context->validatorChanged) context->validatorChanged(context->responseValidator());
        }
    }

    if (context->maxFileSize > 0 && context->bytesInFile() + length > context->maxFileSize) {
        context->error = TransferContext::TooLarge;
        return 0;
    }
    if (!context->writer->append(data, length)) {
        if (!context->cancel->cancelled()) {
            context->error = TransferContext::WriteFailed;
            context->errorText = context->writer->error();
        }
        return 0;
    }
    context->written += length;
    context->receivedTotal += length;
    context->lastActivity = Clock::now();
    return length;
}

int onProgress(void* userData, curl_off_t downloadTotal, curl_off_t, curl_off_t, curl_off_t) {
    TransferContext* context = static_cast<TransferContext*>(userData);
    if (context->cancel->cancelled()) return 1;
    const Clock::time_point now = Clock::now();
    if (context->stallTimeout > Clock::duration::zero() && now - context->lastActivity >= context->stallTimeout) {
        context->error = TransferContext::Stalled;
        return 1;
    }
    if (downloadTotal > 0) context->expectedTotal = context->offset + static_cast<uint64_t>(downloadTotal);
    if (!context->progress) return 0;
    if (now - context->lastProgress < context->progressInterval) return 0;
    context->lastProgress = now;
    const uint64_t total = downloadTotal > 0 ? context->offset + static_cast<uint64_t>(downloadTotal) : 0;
    context->progress(context->bytesInFile(), total, context->bytesPerSecond());
    return 0;
}

// Feeds the bytes already in the partial file to the hasher. False when reading
// fails or the transfer is cancelled meanwhile.
bool hashExisting(int fd, uint64_t size, Sha256& hasher, CurlCancel& cancel) {
    std::vector<char> buffer(kRehashChunkBytes);
    uint64_t done = 0;
    while (done < size) {
        if (cancel.cancelled()) return false;
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), size - done));
        const long long n = readAt(fd, buffer.data(), want, done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        hasher.update(buffer.data(), static_cast<std::size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    return true;
}

struct Attempt {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string curlError;
};

Attempt transferOnce(const DownloadTask& task, const DownloadServiceOptions& options, TransferContext& context,
                     CurlCancel& cancel) {
    Attempt attempt;
    CurlEasy easy;
    if (!easy.handle()) {
        attempt.code = CURLE_FAILED_INIT;
        attempt.curlError = "libcurl could not be initialised";
        return attempt;
    }
    CURL* handle = easy.handle();
    context.easy = handle;
    context.firstWrite = true;
    context.written = 0;
    context.rangeRequested = context.offset > 0;
    context.lastActivity = Clock::now();

    NetworkSettings network;
    network.proxyUrl = options.proxyUrl;
    network.noProxy = options.noProxy;
    network.caInfo = options.caInfo;
    network.userAgent = options.userAgent;
    network.connectTimeoutSeconds = options.connectTimeoutSeconds;
    applyNetworkSettings(handle, network, task.url);
    // The digest is of the bytes as stored: no content encoding, and nothing decoded.
    CurlHeaders headers;
    headers.add("Accept-Encoding: identity");
    if (context.rangeRequested) headers.add("If-Range: " + context.ifRange);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.list());
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);

    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(handle, CURLOPT_URL, task.url.c_str());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &context);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &context);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &context);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    if (options.stallTimeoutSeconds > 0) {
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeoutSeconds));
    }
    // libcurl checks the announced length; the body callback checks the bytes. On a
    // resume the server may send the whole file instead, so only the callback judges.
    if (options.maxFileSizeBytes > 0 && context.offset == 0) {
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxFileSizeBytes));
    }
    if (options.maxBytesPerSecond > 0) {
        curl_easy_setopt(handle, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(options.maxBytesPerSecond));
    }
    const std::string range = std::to_string(context.offset) + "-";
    if (context.rangeRequested) curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
    if (task.useAuth) {
        curl_easy_setopt(handle, CURLOPT_USERNAME, task.userName.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, task.password.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    }

    NextCheckFunction nextCheck;
    if (context.stallTimeout > Clock::duration::zero()) {
        nextCheck = [&context] { return context.lastActivity + context.stallTimeout; };
    }
    attempt.code = runCurl(handle, cancel, nextCheck);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &attempt.status);
    attempt.curlError = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(attempt.code));
    context.easy = nullptr;
    return attempt;
}

DownloadOutcome failed(DownloadFailure failure, const std::string& text, bool resumable = false) {
    DownloadOutcome outcome;
    outcome.end = DownloadOutcome::Failed;
    outcome.failure = failure;
    outcome.text = text;
    outcome.resumable = resumable;
    return outcome;
}

// Where a failed attempt stood, for a person to act on: the mirror (without
// credentials), the server's answer or its absence, and the bytes against the size.
std::string attemptFacts(const std::string& url, long httpStatus, uint64_t received, uint64_t expected) {
    const std::string answer = httpStatus > 0 ? "HTTP status " + std::to_string(httpStatus) : "no HTTP answer";
    const std::string size = expected > 0 ? std::to_string(received) + " of " + std::to_string(expected) + " bytes"
                                          : std::to_string(received) + " bytes of an unknown size";
    return " [mirror " + redactUrl(url) + ", " + answer + ", " + size + " received]";
}

bool hasControlCharacter(const std::string& text) {
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

}  // namespace

bool sameFile(const DownloadTask& a, const DownloadTask& b) {
    return a.url == b.url && a.fileHash == b.fileHash && a.folder == b.folder && a.fileName == b.fileName;
}

std::string partialFileName(const DownloadTask& task) {
    return "." + task.fileName + "." + task.sessionId + ".part";
}

std::string validateTask(const DownloadTask& task, DownloadFailure& code) {
    code = DownloadFailure::InvalidRequest;
    if (task.url.empty()) return "the request names no URL";
    if (hasControlCharacter(task.url)) return "the URL holds control characters";
    const std::string scheme = urlScheme(task.url);
    if (scheme.empty()) return "the URL cannot be parsed";
    if (scheme != "http" && scheme != "https" && scheme != "file") {
        return "unsupported URL scheme '" + scheme + "' (http, https and file are supported)";
    }
    if (!task.fileHash.empty() && !isSha256Hex(task.fileHash)) {
        return "the file hash is not a SHA-256 digest (64 hexadecimal digits)";
    }
    if (!UUId::checkValid(task.sessionId)) return "invalid session id";
    if (task.fileName.empty() || cleanFileName(task.fileName) != task.fileName) return "invalid file name";
    if (task.folder.empty() || hasControlCharacter(task.folder)) {
        code = DownloadFailure::DestinationUnusable;
        return "no usable destination folder";
    }
    return std::string();
}

DownloadOutcome runDownload(const DownloadTask& task, bool resume, const DownloadServiceOptions& options,
                            CurlCancel& cancel, const ProgressFunction& progress,
                            const ValidatorFunction& validatorChanged) {
    DownloadFailure invalid;
    const std::string problem = validateTask(task, invalid);
    if (!problem.empty()) return failed(invalid, problem);

    std::string error;
    std::unique_ptr<DestinationFolder> folder = DestinationFolder::open(task.folder, error);
    if (!folder) return failed(DownloadFailure::DestinationUnusable, error + attemptFacts(task.url, 0, 0, 0));
    const std::string partial = partialFileName(task);
    const std::string scheme = urlScheme(task.url);

    Sha256 hasher;
    TransferContext context;
    context.cancel = &cancel;
    context.maxFileSize = options.maxFileSizeBytes;
    context.progress = progress;
    context.progressInterval = std::chrono::milliseconds(options.progressIntervalMs);
    if (options.progressIntervalMs == 0) context.progress = ProgressFunction();
    context.firstStart = Clock::now();
    context.stallTimeout = std::chrono::seconds(options.stallTimeoutSeconds);
    context.ifRange = task.validator;
    context.validatorChanged = validatorChanged;

    // A resume continues our own partial file of this session over http(s) when a
    // validator can tell whether the server's file is still the same; file URLs are
    // local and simply copied again.
    UniqueFd fd;
    if (resume && scheme != "file" && !task.validator.empty()) {
        fd = folder->openOwnRegular(partial);
        uint64_t size = 0;
        if (fd.valid() && fileSize(fd.get(), size) && size > 0 &&
            (options.maxFileSizeBytes == 0 || size <= options.maxFileSizeBytes)) {
            if (!hashExisting(fd.get(), size, hasher, cancel) || !seekToEnd(fd.get())) {
                fd.reset();
                hasher.reset();
            } else {
                context.offset = size;
            }
        } else {
            fd.reset();
        }
    }
    if (!fd.valid()) {
        if (cancel.cancelled()) {
            DownloadOutcome outcome;
            outcome.end = cancel.reason() == CurlCancel::Abort ? DownloadOutcome::Aborted : DownloadOutcome::Stopped;
            if (outcome.end == DownloadOutcome::Aborted) folder->removeFile(partial);
            return outcome;
        }
        fd = folder->createExclusive(partial, error);
        if (!fd.valid()) return failed(DownloadFailure::DestinationUnusable, error + attemptFacts(task.url, 0, 0, 0));
        context.offset = 0;
    }
    PipelinedFileWriter writer(fd.get(), context.offset, hasher, cancel, kWriteBufferBytes, kWriteBufferCount,
                               options.syncBeforeRename);
    context.writer = &writer;

    Attempt attempt;
    bool complete = false;
    // At most: a ranged request answered 416 or from a replaced file, then the whole file.
    for (int round = 0; round < 3 && !complete; ++round) {
        attempt = transferOnce(task, options, context, cancel);
        if (!writer.flush() && context.error == TransferContext::NoError) {
            context.error = TransferContext::WriteFailed;
            context.errorText = writer.error();
        }
        if (context.error == TransferContext::ValidatorChanged && !cancel.cancelled()) {
            context.error = TransferContext::NoError;
            if (restartFile(&context)) continue;
            context.error = TransferContext::WriteFailed;
            context.errorText = writer.error();
        }
        if (context.error != TransferContext::NoError) break;
        if (attempt.code == CURLE_OK) {
            complete = true;
        } else if (attempt.code == CURLE_HTTP_RETURNED_ERROR && attempt.status == 416 && context.rangeRequested &&
                   context.error == TransferContext::NoError) {
            // Nothing left to send: the partial file may already hold everything.
            if (context.contentRangeUnsatisfied && context.contentRangeTotal == context.offset) {
                complete = true;
            } else if (!restartFile(&context)) {
                context.error = TransferContext::WriteFailed;
                context.errorText = writer.error();
                break;
            }
        } else {
            break;
        }
    }

    const uint64_t bytes = context.bytesInFile();
    auto giveUp = [&](DownloadFailure failure, const std::string& text, bool keep) {
        fd.reset();
        const bool resumable = keep && bytes > 0;
        if (!resumable) folder->removeFile(partial);
        // The length of an error page is not the file's.
        uint64_t expected = attempt.status >= 400 ? 0 : context.expectedTotal;
        if (complete && expected == 0) expected = bytes;
        return failed(failure, text + attemptFacts(task.url, attempt.status, bytes, expected), resumable);
    };

    if (cancel.cancelled()) {
        DownloadOutcome outcome;
        fd.reset();
        if (cancel.reason() == CurlCancel::Abort) {
            outcome.end = DownloadOutcome::Aborted;
            folder->removeFile(partial);
        } else {
            outcome.end = DownloadOutcome::Stopped;
            outcome.resumable = bytes > 0;
            if (!outcome.resumable) folder->removeFile(partial);
        }
        return outcome;
    }
    if (context.error == TransferContext::TooLarge || attempt.code == CURLE_FILESIZE_EXCEEDED) {
        return giveUp(DownloadFailure::TooLarge,
                      "the file is larger than " + std::to_string(options.maxFileSizeBytes) + " bytes", false);
    }
    if (context.error == TransferContext::WriteFailed) {
        return giveUp(DownloadFailure::WriteFailed, context.errorText, false);
    }
    if (context.error == TransferContext::RangeMismatch || context.error == TransferContext::RedirectRefused) {
        return giveUp(DownloadFailure::TransferFailed, context.errorText, false);
    }
    // libcurl's time-out after the server began to answer is its low-speed check.
    if (context.error == TransferContext::Stalled ||
        (attempt.code == CURLE_OPERATION_TIMEDOUT && context.answered)) {
        return giveUp(DownloadFailure::Stalled,
                      "no data for " + std::to_string(options.stallTimeoutSeconds) + " seconds", true);
    }
    if (!complete) {
        switch (attempt.code) {
        case CURLE_HTTP_RETURNED_ERROR:
            return giveUp(DownloadFailure::HttpStatus, "the server refused the file", true);
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return giveUp(DownloadFailure::InvalidRequest, attempt.curlError, false);
        case CURLE_WRITE_ERROR:
            return giveUp(DownloadFailure::WriteFailed, attempt.curlError, false);
        default:
            return giveUp(DownloadFailure::TransferFailed, attempt.curlError, true);
        }
    }

    const std::string actual = hasher.finishHex();
    if (!task.fileHash.empty() && !sameHexDigest(task.fileHash, actual)) {
        return giveUp(DownloadFailure::DigestMismatch,
                      "digest mismatch: expected " + task.fileHash + ", got " + actual, false);
    }
    if (options.syncBeforeRename && !syncToDisk(fd.get())) {
        return giveUp(DownloadFailure::WriteFailed, std::string("cannot flush the file: ") + std::strerror(errno),
                      false);
    }
    fd.reset();
    if (!folder->moveIntoPlace(partial, task.fileName, error)) {
        folder->removeFile(partial);
        return failed(DownloadFailure::WriteFailed, error + attemptFacts(task.url, attempt.status, bytes, bytes));
    }
    if (context.progress) context.progress(bytes, bytes, context.bytesPerSecond());

    DownloadOutcome outcome;
    outcome.end = DownloadOutcome::Finished;
    outcome.path = folder->pathOf(task.fileName);
    return outcome;
}

}  // namespace kestrup_services
