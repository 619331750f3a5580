#pragma once
// Small pieces shared by the download service and the backend client: libcurl's
// global set-up, a cancel token that ends a running transfer promptly, the network
// options both apply, and text fetches with a size bound.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <curl/curl.h>

namespace kestrup_services {

// curl_global_init once per process (thread-safe; later calls do nothing).
void ensureCurlGlobalInit();

// Owns one easy handle.
class CurlEasy {
public:
    CurlEasy();  // curl_easy_init; handle() is null when that failed
    ~CurlEasy();
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;
    CURL* handle() const { return m_handle; }

private:
    CURL* m_handle;
};

// Owns a list of extra request headers for CURLOPT_HTTPHEADER.
class CurlHeaders {
public:
    CurlHeaders() = default;
    ~CurlHeaders() { curl_slist_free_all(m_list); }
    CurlHeaders(const CurlHeaders&) = delete;
    CurlHeaders& operator=(const CurlHeaders&) = delete;
    void add(const std::string& line);
    struct curl_slist* list() const { return m_list; }

private:
    struct curl_slist* m_list = nullptr;
};

// Shared by a transfer and whoever may end it. The first cancel() wins; it also
// wakes the transfer's poll so that it ends without waiting for the network.
class CurlCancel {
public:
    enum Reason { None = 0, Abort = 1, Stop = 2 };

    void cancel(Reason reason);
    Reason reason() const { return static_cast<Reason>(m_reason.load()); }
    bool cancelled() const { return m_reason.load() != None; }

    // Used by runCurl while it drives a multi handle.
    void attach(CURLM* multi);
    void detach();

private:
    std::atomic<int> m_reason{None};
    std::mutex m_mutex;
    CURLM* m_multi = nullptr;  // guarded by m_mutex
};

// When the caller's own checks in libcurl's callbacks (a stall time-out, say) are due
// next; libcurl's callbacks run again by then at the latest.
typedef std::function<std::chrono::steady_clock::time_point()> NextCheckFunction;

// Runs `easy` to its end in a private multi handle. Returns the transfer's result,
// or CURLE_ABORTED_BY_CALLBACK as soon as `cancel` is set (checked at least every
// 250 ms, and at once when cancel() wakes the poll).
CURLcode runCurl(CURL* easy, CurlCancel& cancel, const NextCheckFunction& nextCheck = NextCheckFunction());

// Options that every request of the services applies.
struct NetworkSettings {
    std::string proxyUrl;      // empty: libcurl's default (environment)
    std::string noProxy;       // empty: libcurl's default
    std::string caInfo;        // empty: the system's bundle
    std::string userAgent;
    unsigned connectTimeoutSeconds = 0;  // 0: libcurl's default
};

// Protocols (http, https, file; redirects only to http and https, at most 5), no
// signals, time-outs, proxy, CA bundle and user agent. A transfer that starts on
// https may be redirected to https only (see RedirectGuard for the message).
void applyNetworkSettings(CURL* easy, const NetworkSettings& settings, const std::string& url);

// Watches the header lines of every response of one transfer, redirects included:
// it refuses a redirect that leaves https (whoever can alter a plain leg would pick
// the bytes), naming both URLs, and keeps the last response's Content-Encoding.
class RedirectGuard {
public:
    // To be called with every header line; false when the transfer must end now.
    bool onHeaderLine(CURL* easy, const char* data, std::size_t length);
    bool refused() const { return !m_refusal.empty(); }
    const std::string& refusal() const { return m_refusal; }
    const std::string& contentEncoding() const { return m_contentEncoding; }

private:
    long m_status = 0;
    std::string m_refusal;
    std::string m_contentEncoding;
};

// The scheme of a URL in lower case ("http"), or "" when it cannot be parsed.
std::string urlScheme(const std::string& url);
// The path of a URL, still percent-encoded; "" when it cannot be parsed.
std::string urlRawPath(const std::string& url);
// `reference` resolved against `base` (an absolute reference is returned as it is);
// "" when it cannot be resolved.
std::string resolveUrl(const std::string& base, const std::string& reference);
// The URL without user name and password, for log lines.
std::string redactUrl(const std::string& url);
// True for "Name:" header lines (case-insensitive); `value` gets the trimmed value.
bool headerValue(const char* data, std::size_t length, const char* name, std::string& value);

struct FetchResult {
    bool ok = false;
    long httpStatus = 0;  // 0 for file URLs and when no answer came
    std::string finalUrl; // where the body came from, after redirects
    std::string body;
    std::string error;    // why it failed, for log lines and error answers
};

// GET of a whole text, at most `maxBytes` (after decoding gzip or deflate), within
// `timeoutSeconds` in all.
FetchResult fetchText(const std::string& url, const NetworkSettings& settings, uint64_t maxBytes,
                      unsigned timeoutSeconds, CurlCancel& cancel);
// POST of `body` with the given content type; ok when the server answered 2xx.
FetchResult postText(const std::string& url, const std::string& body, const std::string& contentType,
                     const NetworkSettings& settings, unsigned timeoutSeconds, CurlCancel& cancel);

}  // namespace kestrup_services
