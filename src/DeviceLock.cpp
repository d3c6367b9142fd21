#include "DeviceLock.h"

#include <fcntl.h>
#include <unistd.h>

bool lockDevice(const std::string& device, std::string* holder) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &whole) == 0) return true;  // fd stays open with the lock
    struct flock other = whole;
    *holder = fcntl(fd, F_GETLK, &other) == 0 && other.l_type != F_UNLCK
                  ? "PID " + std::to_string(other.l_pid)
                  : std::string("a process of unknown PID");
    close(fd);
    return false;
}
