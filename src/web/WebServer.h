// The HTTP server of ulmet-web: cpp-httplib parses and routes the
// requests, behind a front end of its own that bounds what a client can
// take. One thread reads the heads (request line and header fields) of all
// connections at once, without blocking; only a complete head within its
// limits goes to a worker thread, which answers it through httplib. So a
// client that sends its head slowly holds a file descriptor and a few
// kilobytes until its deadline, never a worker, and no head grows past its
// limit in memory.
#ifndef ULMET_WEBSERVER_H
#define ULMET_WEBSERVER_H

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct WebLimits {
    std::size_t headBytes = 16 * 1024;  // request line and header fields together
    std::size_t headLines = 100;        // lines of a head, the request line included
    int headSeconds = 10;               // from a connection's first byte to its head's end
    int idleSeconds = 5;                // a kept-alive connection waiting for its next request
    int ioSeconds = 10;                 // one read or write of a worker
    int responseSeconds = 300;          // a worker's whole answer, a download included
    int workers = 12;
    std::size_t connections = 512;  // open at once; more are closed at once
    std::size_t queued = 64;        // complete heads waiting for a worker; more get 503
    int requestsPerConnection = 100;
};

class WebServer : public httplib::Server {
  public:
    explicit WebServer(const WebLimits& limits = WebLimits());
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Ends the head reader and the workers once listen_after_bind() has
    // returned: the answers being written are finished, the rest closed.
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    struct Connection {
        int fd = -1;
        std::string buffer;  // bytes read and not yet handed to httplib
        Clock::time_point deadline;
        bool started = false;  // some of its present head has arrived
        bool closing = false;  // refused: what it still sends is read and dropped
        int served = 0;
    };

    // Called by httplib's accepting thread for each new connection.
    bool process_and_close_socket(socket_t sock) override;

    void readHeads();
    void work();
    void adopt(Connection c);
    // Reads what `c` has; false when it is done with (answered or closed).
    bool readHead(Connection& c);
    // Whether the head in c.buffer is complete (queued for a worker: false)
    // or still to be read or refused (true: the reader keeps it).
    bool examine(Connection& c);
    // Answers `status` and closes the connection once the client has
    // stopped sending (or after two seconds), so that it can read the
    // answer rather than a reset.
    void refuse(Connection& c, int status, const char* reason, const char* message);
    void drop(Connection& c);

    WebLimits limits_;
    int wake_[2] = {-1, -1};  // a pipe that wakes the head reader
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Connection> incoming_;  // handed over, not yet polled
    std::deque<Connection> queue_;      // complete heads for the workers
    std::size_t open_ = 0;
    std::atomic<bool> stopping_{false};
    bool finished_ = false;
    std::thread reader_;
    std::vector<std::thread> workers_;
};

// Lets at most `running` callers past at once; up to `waiting` more wait
// for their turn, each at most `wait`; the others are refused at once.
class AdmissionGate {
  public:
    AdmissionGate(int running, int waiting, std::chrono::seconds wait)
        : running_(running), waiting_(waiting), wait_(wait) {}
    bool enter();
    void leave();

  private:
    std::mutex mutex_;
    std::condition_variable turn_;
    int running_, waiting_;
    std::chrono::seconds wait_;
    int inside_ = 0, queued_ = 0;
};

#endif
