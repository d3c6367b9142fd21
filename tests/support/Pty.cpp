#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

Pty::Pty() : master_(-1), slave_(-1) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        if (master_ >= 0) ::close(master_);
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        throw std::runtime_error("ptsname_r failed");
    }
    path_ = name;
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        ::close(master_);
        throw std::runtime_error("cannot open " + path_);
    }
    struct termios raw;
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
}

Pty::~Pty() { hangUp(); }

void Pty::hangUp() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

void Pty::write(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the pseudo-terminal failed");
        done += static_cast<size_t>(n);
    }
}

std::string Pty::readUntil(const std::string& text, std::chrono::milliseconds timeout) {
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.empty() || received.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        struct pollfd pfd = {master_, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buffer[4096];
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

std::string Pty::readFor(std::chrono::milliseconds duration) { return readUntil("", duration); }

}  // namespace testsupport
