#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

Pty::Pty() {
    char name[128];
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 &&
        ptsname_r(master_, name, sizeof name) == 0) {
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY);
    }
    struct termios raw;
    if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
}

Pty::~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void Pty::write(const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the pseudo-terminal failed");
        done += static_cast<size_t>(n);
    }
}

std::string Pty::readUntil(const std::string& text, std::chrono::milliseconds timeout) {
    using namespace std::chrono;
    std::string received;
    auto deadline = steady_clock::now() + timeout;
    while (text.empty() || received.find(text) == std::string::npos) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        struct pollfd pfd = {master_, POLLIN, 0};
        int r = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
        if (r < 0 && errno == EINTR) continue;
        char buffer[4096];
        ssize_t n = r > 0 ? ::read(master_, buffer, sizeof buffer) : 0;
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

}  // namespace testsupport
