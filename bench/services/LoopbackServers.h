#pragma once
// Loopback HTTP endpoints for the download benchmarks: a file server, a mirror that
// accepts and then never answers, and a port that refuses connections.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace benchsupport {

// Listens on 127.0.0.1 at a free port and runs `serve` for every client on one thread.
class LoopbackListener {
public:
    LoopbackListener();
    virtual ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    int port() const { return m_port; }

protected:
    void startAccepting();
    void stopAccepting();
    bool stopping() const { return m_stop; }
    // Called on the accepting thread; owns `client` (closes it or keeps it).
    virtual void serve(int client) = 0;

private:
    void acceptLoop();

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Answers every GET with the whole of one file (HTTP/1.0, sendfile), one client at a time.
class FileServer : public LoopbackListener {
public:
    explicit FileServer(const std::string& file);
    ~FileServer() override;
    std::string url() const;

private:
    void serve(int client) override;
    std::string m_file;
};

// Accepts connections and never answers; they stay open until the server goes.
class StallingServer : public LoopbackListener {
public:
    StallingServer();
    ~StallingServer() override;
    std::string url() const;

private:
    void serve(int client) override;
    std::vector<int> m_clients;  // accepting thread only, then the destructor
};

// A port of 127.0.0.1 that is bound (so nobody else takes it) but not listening:
// every connection to it is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string url() const;

private:
    int m_socket = -1;
    int m_port = 0;
};

}  // namespace benchsupport
