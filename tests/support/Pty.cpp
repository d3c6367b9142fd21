#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

Pty::Pty() {
    char name[128];
    struct termios raw;
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0 ||
        (slave_ = ::open(name, O_RDWR | O_NOCTTY)) < 0 || tcgetattr(slave_, &raw) != 0) {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    path_ = name;
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
}

Pty::~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void Pty::write(const std::string& data) {
    if (::write(master_, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        throw std::runtime_error("write to the pseudo-terminal failed");
}

std::string Pty::readUntil(const std::string& text, std::chrono::milliseconds timeout) {
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {master_, POLLIN, 0};
        char buffer[4096];
        ssize_t n = left.count() > 0 && poll(&pfd, 1, static_cast<int>(left.count())) > 0
                        ? ::read(master_, buffer, sizeof buffer)
                        : 0;
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

}  // namespace testsupport
