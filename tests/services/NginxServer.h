#pragma once
// Runs nginx from the distribution on two ephemeral loopback ports for a test: https
// (HTTP/2 and HTTP/1.1, with a certificate made here with openssl) and plain http.
// Configuration, certificate, logs and temporary files stay in one folder. Not on
// Windows: nginx and openssl are Linux programs that the test starts and signals.
#include <string>
#include <sys/types.h>
#include <vector>

namespace servicetests {

class NginxServer {
public:
    // Serves the files of `root` on both ports, gzip-compressing XML. `locations` is
    // added to both server blocks; "@HTTP@" and "@HTTPS@" in it stand for the two
    // base URLs ("http://127.0.0.1:<port>").
    NginxServer(const std::string& folder, const std::string& root, const std::string& locations = "");
    ~NginxServer();  // stops nginx and waits for it
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool started() const { return m_error.empty(); }
    const std::string& startError() const { return m_error; }
    std::string httpsUrl(const std::string& path) const;
    std::string httpUrl(const std::string& path) const;
    // The server's certificate (for 127.0.0.1 and localhost), which signed itself.
    const std::string& caFile() const { return m_caFile; }
    // One line per request:
    // "GET /a.bin 206 range=bytes=5- if-range=\"..\" enc=- ae=identity HTTP/2.0".
    std::vector<std::string> requests() const;

private:
    bool makeCertificates();
    bool waitUntilServing();

    const std::string m_folder;
    std::string m_caFile;
    int m_httpPort = 0;
    int m_httpsPort = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

}  // namespace servicetests
