#include "web/WebServer.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// httplib hands each accepted connection to a task queue; this one runs
// the task at once, in the accepting thread: the task only passes the
// connection on to the head reader.
class RunAtOnce : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

int millisecondsUntil(Clock::time_point t) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// A connection as httplib reads and writes it: the bytes the head reader
// already took, then the socket (non-blocking). Each wait lasts at most
// `ioSeconds`, and none goes past `deadline`.
class ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(int fd, std::string buffer, int ioSeconds, Clock::time_point deadline)
        : fd_(fd),
          buffer_(std::move(buffer)),
          io_(std::chrono::seconds(ioSeconds)),
          deadline_(deadline) {}

    using httplib::Stream::write;

    bool is_readable() const override { return pos_ < buffer_.size() || wait(POLLIN); }
    bool is_writable() const override { return wait(POLLOUT); }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ < buffer_.size()) {
            const size_t n = std::min(size, buffer_.size() - pos_);
            std::memcpy(ptr, buffer_.data() + pos_, n);
            pos_ += n;
            return static_cast<ssize_t>(n);
        }
        for (;;) {
            const ssize_t n = ::recv(fd_, ptr, size, 0);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait(POLLIN)) return -1;
        }
    }

    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait(POLLOUT)) return -1;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

    std::string leftover() const { return buffer_.substr(pos_); }

  private:
    bool wait(short events) const {
        const int limit =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(io_).count());
        pollfd p{fd_, events, 0};
        int n;
        do n = ::poll(&p, 1, std::min(limit, millisecondsUntil(deadline_)));
        while (n < 0 && errno == EINTR);
        return n > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
    }

    template <class Name>
    void address(Name name, std::string& ip, int& port) const {
        sockaddr_storage a{};
        socklen_t length = sizeof(a);
        char host[NI_MAXHOST], service[NI_MAXSERV];
        ip.clear();
        port = 0;
        if (name(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) return;
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof(host), service,
                          sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0)
            return;
        ip = host;
        port = std::atoi(service);
    }

    int fd_;
    std::string buffer_;
    size_t pos_ = 0;
    std::chrono::seconds io_;
    Clock::time_point deadline_;
};

}  // namespace

WebServer::WebServer(const WebLimits& limits) : limits_(limits) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error(std::strerror(errno));
    // httplib takes ownership of the queue it is given as a raw pointer.
    new_task_queue = [] { return new RunAtOnce; };  // NOLINT(cppcoreguidelines-owning-memory)
    set_keep_alive_timeout(limits_.idleSeconds);
    set_keep_alive_max_count(static_cast<size_t>(limits_.requestsPerConnection));
    set_read_timeout(limits_.ioSeconds, 0);
    set_write_timeout(limits_.ioSeconds, 0);
    reader_ = std::thread([this] { readHeads(); });
    for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
}

WebServer::~WebServer() { finish(); }

void WebServer::finish() {
    if (finished_) return;
    finished_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    (void)!::write(wake_[1], "x", 1);
    reader_.join();
    for (std::thread& t : workers_) t.join();
    for (Connection& c : queue_) drop(c);
    for (Connection& c : incoming_) drop(c);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

bool WebServer::process_and_close_socket(socket_t sock) {
    Connection c;
    c.fd = sock;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || open_ >= limits_.connections) {
            ::close(sock);
            return false;
        }
        ++open_;
    }
    const int flags = ::fcntl(sock, F_GETFL);
    (void)::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    c.deadline = Clock::now() + std::chrono::seconds(limits_.headSeconds);
    c.started = true;
    adopt(std::move(c));
    return true;
}

void WebServer::adopt(Connection c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        incoming_.push_back(std::move(c));
    }
    (void)!::write(wake_[1], "x", 1);
}

void WebServer::drop(Connection& c) {
    if (c.fd < 0) return;
    ::close(c.fd);
    c.fd = -1;
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
}

void WebServer::refuse(Connection& c, int status, const char* reason, const char* message) {
    const std::string body = std::string("{\"error\": \"") + message + "\"}\n";
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " " + reason +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    (void)!::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(c.fd, SHUT_WR);
    c.closing = true;
    c.buffer.clear();
    c.buffer.shrink_to_fit();
    c.deadline = Clock::now() + std::chrono::seconds(2);
}

bool WebServer::examine(Connection& c) {
    const size_t end = c.buffer.find("\r\n\r\n");
    const size_t head = end == std::string::npos ? c.buffer.size() : end + 4;
    const auto lines = static_cast<size_t>(
        std::count(c.buffer.begin(), c.buffer.begin() + static_cast<std::ptrdiff_t>(head), '\n'));
    if (c.buffer.find('\n') == std::string::npos && c.buffer.size() > limits_.headBytes) {
        refuse(c, 414, "URI Too Long", "the address is too long");
        return true;
    }
    // The blank line that ends a head is not one of its lines.
    if (head > limits_.headBytes ||
        lines > limits_.headLines + (end == std::string::npos ? 0 : 1)) {
        refuse(c, 431, "Request Header Fields Too Large",
               "the request's header fields are too many or too long");
        return true;
    }
    if (end == std::string::npos) return true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() < limits_.queued) {
            queue_.push_back(std::move(c));
            ready_.notify_one();
            return false;
        }
    }
    refuse(c, 503, "Service Unavailable", "the server is busy; try again in a minute");
    return true;
}

bool WebServer::readHead(Connection& c) {
    char chunk[4096];
    while (c.closing) {
        const ssize_t n = ::recv(c.fd, chunk, sizeof(chunk), 0);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        drop(c);
        return false;
    }
    while (c.buffer.size() <= limits_.headBytes) {
        const size_t room = limits_.headBytes + 1 - c.buffer.size();
        const ssize_t n = ::recv(c.fd, chunk, std::min(sizeof(chunk), room), 0);
        if (n > 0) {
            if (!c.started) {
                c.started = true;
                c.deadline = Clock::now() + std::chrono::seconds(limits_.headSeconds);
            }
            c.buffer.append(chunk, static_cast<size_t>(n));
            if (c.buffer.find("\r\n\r\n") != std::string::npos) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        drop(c);  // closed by the client, or an error
        return false;
    }
    return examine(c);
}

void WebServer::readHeads() {
    std::vector<Connection> waiting;
    std::vector<pollfd> polled;
    while (!stopping_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Connection& c : incoming_) waiting.push_back(std::move(c));
            incoming_.clear();
        }
        // A kept-alive connection may come back with the next head already read.
        for (size_t i = waiting.size(); i-- > 0;) {
            if (waiting[i].buffer.empty() || waiting[i].closing || examine(waiting[i])) continue;
            waiting[i] = std::move(waiting.back());
            waiting.pop_back();
        }
        polled.assign(1, pollfd{wake_[0], POLLIN, 0});
        Clock::time_point next = Clock::now() + std::chrono::seconds(1);
        for (const Connection& c : waiting) {
            polled.push_back(pollfd{c.fd, POLLIN, 0});
            next = std::min(next, c.deadline);
        }
        if (::poll(polled.data(), polled.size(), millisecondsUntil(next)) < 0 && errno != EINTR)
            break;
        char drain[64];
        while (::read(wake_[0], drain, sizeof(drain)) > 0) {
        }
        const Clock::time_point now = Clock::now();
        for (size_t i = waiting.size(); i-- > 0;) {
            Connection& c = waiting[i];
            bool keep = true;
            if (now < c.deadline) {
                if (polled[i + 1].revents != 0) keep = readHead(c);
            } else if (c.started && !c.closing) {
                refuse(c, 408, "Request Timeout", "the request took too long to arrive");
            } else {
                drop(c);  // refused and answered, or kept alive and left idle
                keep = false;
            }
            if (keep) continue;
            c = std::move(waiting.back());
            waiting.pop_back();
        }
    }
    for (Connection& c : waiting) drop(c);
}

void WebServer::work() {
    for (;;) {
        Connection c;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            c = std::move(queue_.front());
            queue_.pop_front();
        }
        ++c.served;
        const bool last = c.served >= limits_.requestsPerConnection || stopping_;
        ConnectionStream stream(c.fd, std::move(c.buffer), limits_.ioSeconds,
                                Clock::now() + std::chrono::seconds(limits_.responseSeconds));
        bool closed = false;
        const bool ok = process_request(stream, last, closed, nullptr);
        if (!ok || closed || last || stopping_) {
            drop(c);
            continue;
        }
        c.buffer = stream.leftover();
        c.started = !c.buffer.empty();
        c.deadline = Clock::now() +
                     std::chrono::seconds(c.started ? limits_.headSeconds : limits_.idleSeconds);
        adopt(std::move(c));
    }
}

bool AdmissionGate::enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (inside_ < running_) {
        ++inside_;
        return true;
    }
    if (queued_ >= waiting_) return false;
    ++queued_;
    const bool turn = turn_.wait_for(lock, wait_, [this] { return inside_ < running_; });
    --queued_;
    if (turn) ++inside_;
    return turn;
}

void AdmissionGate::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --inside_;
    turn_.notify_one();
}
