#include "CurlSupport.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kestrup_services {

namespace {

const long kPollIntervalMs = 250;

// libcurl takes time-outs in seconds as a long (32 bits on Windows) and refuses, so
// leaves unbounded, any above INT_MAX / 1000 (it counts in milliseconds): longer
// ones are clamped to that, about 24 days.
long curlSeconds(unsigned seconds) {
    const unsigned longest = static_cast<unsigned>(INT_MAX / 1000);
    return static_cast<long>(seconds < longest ? seconds : longest);
}

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
typedef std::unique_ptr<CURLU, UrlHandleDeleter> UrlHandle;

struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
typedef std::unique_ptr<char, CurlTextDeleter> CurlText;

UrlHandle parseUrl(const std::string& url) {
    UrlHandle handle(curl_url());
    if (!handle) return handle;
    // file URLs have no host; every other scheme needs one, which curl checks.
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        handle.reset();
    }
    return handle;
}

std::string getPart(CURLU* handle, CURLUPart part, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(handle, part, &text, flags) != CURLUE_OK || !text) return std::string();
    CurlText owned(text);
    return std::string(owned.get());
}

// The URL as a whole. libcurl on Windows keeps a file URL's drive letter as the start
// of its path and so writes "file://C:/x" back; the slash before the drive is put
// back, as "file:///C:/x" is the form every other reader of file URLs expects.
std::string wholeUrl(CURLU* handle) {
    std::string url = getPart(handle, CURLUPART_URL);
    const std::string prefix = "file://";
    if (url.compare(0, prefix.size(), prefix) == 0 && url.size() > prefix.size() + 1 &&
        std::isalpha(static_cast<unsigned char>(url[prefix.size()])) && url[prefix.size() + 1] == ':') {
        url.insert(prefix.size(), "/");
    }
    return url;
}

struct TextSink {
    std::string* body;
    uint64_t maxBytes;
    bool tooLarge = false;
};

size_t watchHeaders(char* data, size_t size, size_t count, void* context) {
    std::pair<RedirectGuard*, CURL*>* watch = static_cast<std::pair<RedirectGuard*, CURL*>*>(context);
    return watch->first->onHeaderLine(watch->second, data, size * count) ? size * count : 0;
}

size_t appendBounded(char* data, size_t size, size_t count, void* context) {
    TextSink* sink = static_cast<TextSink*>(context);
    const size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->maxBytes) {
        sink->tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    sink->body->append(data, bytes);
    return bytes;
}

FetchResult finishFetch(CURL* easy, CURLcode code, const char* errorBuffer, bool tooLarge,
                        uint64_t maxBytes, const RedirectGuard& guard, CurlCancel& cancel) {
    FetchResult result;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    char* finalUrl = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &finalUrl) == CURLE_OK && finalUrl) result.finalUrl = finalUrl;
    if (cancel.cancelled()) {
        result.error = "cancelled";
    } else if (guard.refused()) {
        result.error = guard.refusal();
    } else if (code == CURLE_BAD_CONTENT_ENCODING) {
        result.error = "the body's Content-Encoding '" + guard.contentEncoding() +
                       "' cannot be decoded (gzip and deflate are accepted): " +
                       (errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code)));
    } else if (tooLarge) {
        result.error = "larger than " + std::to_string(maxBytes) + " bytes";
    } else if (code == CURLE_HTTP_RETURNED_ERROR) {
        result.error = "HTTP status " + std::to_string(result.httpStatus);
    } else if (code != CURLE_OK) {
        result.error = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
    } else {
        result.ok = true;
    }
    return result;
}

// The poll's time-out: the regular interval, or less when the caller's next check is
// due earlier (rounded up, so that the check finds its time come).
int pollTimeoutMs(const NextCheckFunction& nextCheck) {
    if (!nextCheck) return static_cast<int>(kPollIntervalMs);
    const auto left = nextCheck() - std::chrono::steady_clock::now();
    const long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::max(0LL, std::min<long long>(ms, kPollIntervalMs)));
}

}  // namespace

void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlEasy::CurlEasy() : m_handle(nullptr) {
    ensureCurlGlobalInit();
    m_handle = curl_easy_init();
}

CurlEasy::~CurlEasy() {
    if (m_handle) curl_easy_cleanup(m_handle);
}

void CurlHeaders::add(const std::string& line) {
    struct curl_slist* longer = curl_slist_append(m_list, line.c_str());
    if (longer) m_list = longer;
}

void CurlCancel::cancel(Reason reason) {
    int expected = None;
    m_reason.compare_exchange_strong(expected, reason);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi) curl_multi_wakeup(m_multi);
}

void CurlCancel::attach(CURLM* multi) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_multi = multi;
}

void CurlCancel::detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_multi = nullptr;
}

CURLcode runCurl(CURL* easy, CurlCancel& cancel, const NextCheckFunction& nextCheck) {
    CURLM* multi = curl_multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_OUT_OF_MEMORY;
    }
    cancel.attach(multi);

    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done) {
        if (cancel.cancelled()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int running = 0;
        CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        }
        if (done) break;
        if (running == 0) {
            // Finished without a completion message: treat it as a broken transfer.
            result = CURLE_RECV_ERROR;
            break;
        }
        mc = curl_multi_poll(multi, nullptr, 0, pollTimeoutMs(nextCheck), nullptr);
        if (mc != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            break;
        }
    }

    // Detach before the multi handle goes, so that a late cancel() cannot wake a
    // freed handle.
    cancel.detach();
    curl_multi_remove_handle(multi, easy);
    curl_multi_cleanup(multi);
    if (cancel.cancelled()) result = CURLE_ABORTED_BY_CALLBACK;
    return result;
}

void applyNetworkSettings(CURL* easy, const NetworkSettings& settings, const std::string& url) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
    // RedirectGuard names the refused redirect; this is the backstop if it ever misses one.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, urlScheme(url) == "https" ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    if (settings.connectTimeoutSeconds > 0) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, curlSeconds(settings.connectTimeoutSeconds));
    }
    if (!settings.proxyUrl.empty()) curl_easy_setopt(easy, CURLOPT_PROXY, settings.proxyUrl.c_str());
    if (!settings.noProxy.empty()) curl_easy_setopt(easy, CURLOPT_NOPROXY, settings.noProxy.c_str());
    if (!settings.caInfo.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caInfo.c_str());
    if (!settings.userAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, settings.userAgent.c_str());
}

bool headerValue(const char* data, std::size_t length, const char* name, std::string& value) {
    const std::size_t nameLength = std::strlen(name);
    if (length <= nameLength || data[nameLength] != ':') return false;
    for (std::size_t i = 0; i < nameLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(data[i])) != std::tolower(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    const std::string raw(data + nameLength + 1, length - nameLength - 1);
    const char* const blanks = " \t\r\n";
    const std::size_t begin = raw.find_first_not_of(blanks);
    value = begin == std::string::npos ? std::string() : raw.substr(begin, raw.find_last_not_of(blanks) - begin + 1);
    return true;
}

bool RedirectGuard::onHeaderLine(CURL* easy, const char* data, std::size_t length) {
    if (length >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
        // A new response: "HTTP/1.1 302 Found", "HTTP/2 200".
        const char* space = static_cast<const char*>(std::memchr(data, ' ', length));
        m_status = space ? std::strtol(space + 1, nullptr, 10) : 0;
        m_contentEncoding.clear();
        return true;
    }
    std::string value;
    if (headerValue(data, length, "content-encoding", value)) {
        m_contentEncoding = value;
        return true;
    }
    if (m_status < 300 || m_status > 399 || !headerValue(data, length, "location", value)) return true;
    char* current = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &current);
    const std::string from = current ? current : "";
    if (urlScheme(from) != "https") return true;
    const std::string to = resolveUrl(from, value);
    if (urlScheme(to) == "https") return true;
    m_refusal = "the redirect from " + redactUrl(from) + " to " + (to.empty() ? value : redactUrl(to)) +
                " is refused: it leaves https";
    return false;
}

std::string urlScheme(const std::string& url) {
    UrlHandle handle = parseUrl(url);
    if (!handle) return std::string();
    std::string scheme = getPart(handle.get(), CURLUPART_SCHEME);
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return scheme;
}

std::string urlRawPath(const std::string& url) {
    UrlHandle handle = parseUrl(url);
    if (!handle) return std::string();
    return getPart(handle.get(), CURLUPART_PATH);
}

std::string resolveUrl(const std::string& base, const std::string& reference) {
    UrlHandle handle = parseUrl(base);
    if (!handle) return std::string();
    if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::string();
    }
    return wholeUrl(handle.get());
}

std::string redactUrl(const std::string& url) {
    UrlHandle handle = parseUrl(url);
    if (!handle) return "<unparsable URL>";
    curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0);
    return wholeUrl(handle.get());
}

FetchResult fetchText(const std::string& url, const NetworkSettings& settings, uint64_t maxBytes,
                      unsigned timeoutSeconds, CurlCancel& cancel) {
    CurlEasy easy;
    if (!easy.handle()) {
        FetchResult result;
        result.error = "libcurl could not be initialised";
        return result;
    }
    std::string body;
    TextSink sink{&body, maxBytes};
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    CURL* handle = easy.handle();
    RedirectGuard guard;
    std::pair<RedirectGuard*, CURL*> watch(&guard, handle);
    applyNetworkSettings(handle, settings, url);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &watchHeaders);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &watch);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBounded);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    // Texts compress well; libcurl decodes these two, and the size bound holds for
    // the decoded bytes (the write callback counts them).
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    if (timeoutSeconds > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT, curlSeconds(timeoutSeconds));
    const CURLcode code = runCurl(handle, cancel);
    const bool tooLarge = sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    FetchResult result = finishFetch(handle, code, errorBuffer, tooLarge, maxBytes, guard, cancel);
    if (result.ok) result.body.swap(body);
    return result;
}

FetchResult postText(const std::string& url, const std::string& body, const std::string& contentType,
                     const NetworkSettings& settings, unsigned timeoutSeconds, CurlCancel& cancel) {
    CurlEasy easy;
    FetchResult result;
    if (!easy.handle()) {
        result.error = "libcurl could not be initialised";
        return result;
    }
    const std::string scheme = urlScheme(url);
    if (scheme != "http" && scheme != "https") {
        result.error = "reports go to http or https URLs only";
        return result;
    }
    std::string answer;
    const uint64_t maxAnswer = 64 * 1024;
    TextSink sink{&answer, maxAnswer};
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    CURL* handle = easy.handle();
    RedirectGuard guard;
    std::pair<RedirectGuard*, CURL*> watch(&guard, handle);
    applyNetworkSettings(handle, settings, url);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &watchHeaders);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &watch);
    CurlHeaders headers;
    headers.add("Content-Type: " + contentType);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.list());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBounded);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    if (timeoutSeconds > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT, curlSeconds(timeoutSeconds));
    const CURLcode code = runCurl(handle, cancel);
    result = finishFetch(handle, code, errorBuffer, false, maxAnswer, guard, cancel);
    // A long answer does not make a report fail: only the status counts.
    if (!result.ok && sink.tooLarge && result.httpStatus >= 200 && result.httpStatus < 300) {
        result.ok = true;
        result.error.clear();
    }
    return result;
}

}  // namespace kestrup_services
