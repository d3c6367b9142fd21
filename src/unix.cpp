#include "unix.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace serial {

namespace {
const int64_t kNsPerSecond = 1000000000;

// The SerialException text of a failed modem-line ioctl: the prefix, the
// errno, a blank and its description.
std::string modemLineError(const char* prefix, int errnum) {
    std::stringstream ss;
    ss << prefix << errnum << " " << strerror(errnum);
    return ss.str();
}

// The standard speed constant of a baud rate, or false for a custom rate.
bool standardSpeed(uint64_t baudrate, speed_t& speed) {
    switch (baudrate) {
        case 0:
            speed = B0;
            return true;
        case 50:
            speed = B50;
            return true;
        case 75:
            speed = B75;
            return true;
        case 110:
            speed = B110;
            return true;
        case 134:
            speed = B134;
            return true;
        case 150:
            speed = B150;
            return true;
        case 200:
            speed = B200;
            return true;
        case 300:
            speed = B300;
            return true;
        case 600:
            speed = B600;
            return true;
        case 1200:
            speed = B1200;
            return true;
        case 1800:
            speed = B1800;
            return true;
        case 2400:
            speed = B2400;
            return true;
        case 4800:
            speed = B4800;
            return true;
        case 9600:
            speed = B9600;
            return true;
        case 19200:
            speed = B19200;
            return true;
        case 38400:
            speed = B38400;
            return true;
        case 57600:
            speed = B57600;
            return true;
        case 115200:
            speed = B115200;
            return true;
        case 230400:
            speed = B230400;
            return true;
        case 460800:
            speed = B460800;
            return true;
        case 921600:
            speed = B921600;
            return true;
        case 1000000:
            speed = B1000000;
            return true;
        case 1152000:
            speed = B1152000;
            return true;
        case 1500000:
            speed = B1500000;
            return true;
        case 2000000:
            speed = B2000000;
            return true;
        case 2500000:
            speed = B2500000;
            return true;
        case 3000000:
            speed = B3000000;
            return true;
        case 3500000:
            speed = B3500000;
            return true;
        case 4000000:
            speed = B4000000;
            return true;
        default:
            return false;
    }
}
}  // namespace

// --- Timer ---------------------------------------------------------------

MillisecondTimer::MillisecondTimer(uint64_t millis) : expiry(timespec_now()) {
    int64_t tv_nsec = expiry.tv_nsec + static_cast<int64_t>(millis % 1000) * 1000000;
    expiry.tv_sec += static_cast<time_t>(millis / 1000);
    if (tv_nsec >= kNsPerSecond) {
        expiry.tv_sec += static_cast<time_t>(tv_nsec / kNsPerSecond);
        tv_nsec %= kNsPerSecond;
    }
    expiry.tv_nsec = static_cast<long>(tv_nsec);
}

int64_t MillisecondTimer::remaining() {
    timespec now(timespec_now());
    int64_t millis = static_cast<int64_t>(expiry.tv_sec - now.tv_sec) * 1000;
    millis += (static_cast<int64_t>(expiry.tv_nsec) - now.tv_nsec) / 1000000;
    return millis;
}

timespec MillisecondTimer::timespec_now() {
    timespec time{};
    // Monotonic: a step of the wall clock must not stretch or cut a budget.
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

timespec timespec_from_ms(uint32_t millis) {
    timespec time{};
    time.tv_sec = millis / 1000;
    time.tv_nsec = static_cast<long>(millis - time.tv_sec * 1000) * 1000000;
    return time;
}

// --- Construction, opening, configuration ---------------------------------

Serial::SerialImpl::SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize,
                               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol)
    : port_(port),
      fd_(-1),
      is_open_(false),
      xonxoff_(false),
      rtscts_(false),
      timeout_(),
      baudrate_(baudrate),
      byte_time_ns_(0),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol) {
    pthread_mutex_init(&read_mutex, nullptr);
    pthread_mutex_init(&write_mutex, nullptr);
    if (!port_.empty()) {
        try {
            open();
        } catch (...) {
            // No destructor runs for a half-built object: release here.
            pthread_mutex_destroy(&read_mutex);
            pthread_mutex_destroy(&write_mutex);
            throw;
        }
    }
}

Serial::SerialImpl::~SerialImpl() {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; the descriptor is gone either way.
    }
    pthread_mutex_destroy(&read_mutex);
    pthread_mutex_destroy(&write_mutex);
}

void Serial::SerialImpl::open() {
    if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
    if (is_open_) throw SerialException("Serial port already open.");

    fd_ = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ == -1) {
        switch (errno) {
            case EINTR:
                // Interrupted before the device answered: try again.
                open();
                return;
            case ENFILE:
            case EMFILE:
                THROW(IOException, "Too many file handles open.");
            default:
                THROW(IOException, errno);
        }
    }

    try {
        reconfigurePort();
    } catch (...) {
        // The port never became open: do not keep its descriptor.
        ::close(fd_);
        fd_ = -1;
        throw;
    }
    is_open_ = true;
}

void Serial::SerialImpl::reconfigurePort() {
    if (fd_ == -1) THROW(IOException, "Invalid file descriptor, is the serial port open?");

    struct termios options {};
    if (tcgetattr(fd_, &options) == -1) THROW(IOException, "::tcgetattr");

    // Raw mode: no line editing, no signals, no translation of characters.
    options.c_cflag |= (tcflag_t)(CLOCAL | CREAD);
    options.c_lflag &= (tcflag_t) ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
    options.c_oflag &= (tcflag_t) ~(OPOST);
    options.c_iflag &= (tcflag_t) ~(IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK);

    speed_t speed = B9600;
    if (standardSpeed(baudrate_, speed)) {
        cfsetspeed(&options, speed);
    } else {
        // A rate without a speed constant: the driver's divisor.
        struct serial_struct ser {};
        if (ioctl(fd_, TIOCGSERIAL, &ser) == -1) THROW(IOException, errno);
        ser.custom_divisor = static_cast<int>(ser.baud_base / static_cast<int64_t>(baudrate_));
        ser.flags &= ~ASYNC_SPD_MASK;
        ser.flags |= ASYNC_SPD_CUST;
        if (ioctl(fd_, TIOCSSERIAL, &ser) == -1) THROW(IOException, errno);
    }

    options.c_cflag &= (tcflag_t)~CSIZE;
    if (bytesize_ == eightbits)
        options.c_cflag |= CS8;
    else if (bytesize_ == sevenbits)
        options.c_cflag |= CS7;
    else if (bytesize_ == sixbits)
        options.c_cflag |= CS6;
    else if (bytesize_ == fivebits)
        options.c_cflag |= CS5;
    else
        throw std::invalid_argument("invalid char len");

    if (stopbits_ == stopbits_one)
        options.c_cflag &= (tcflag_t) ~(CSTOPB);
    else if (stopbits_ == stopbits_one_point_five || stopbits_ == stopbits_two)
        options.c_cflag |= (CSTOPB);
    else
        throw std::invalid_argument("invalid stop bit");

    options.c_iflag &= (tcflag_t) ~(INPCK | ISTRIP);
    if (parity_ == parity_none) {
        options.c_cflag &= (tcflag_t) ~(PARENB | PARODD);
    } else if (parity_ == parity_even) {
        options.c_cflag &= (tcflag_t) ~(PARODD);
        options.c_cflag |= (PARENB);
    } else if (parity_ == parity_odd) {
        options.c_cflag |= (PARENB | PARODD);
    } else {
        throw std::invalid_argument("invalid parity");
    }

    if (flowcontrol_ == flowcontrol_none) {
        xonxoff_ = false;
        rtscts_ = false;
    } else if (flowcontrol_ == flowcontrol_software) {
        xonxoff_ = true;
        rtscts_ = false;
    } else if (flowcontrol_ == flowcontrol_hardware) {
        xonxoff_ = false;
        rtscts_ = true;
    }
    if (xonxoff_)
        options.c_iflag |= (IXON | IXOFF);
    else
        options.c_iflag &= (tcflag_t) ~(IXON | IXOFF | IXANY);
    if (rtscts_)
        options.c_cflag |= (CRTSCTS);
    else
        options.c_cflag &= (unsigned long)~(CRTSCTS);

    // Reads return at once with whatever is there; the waiting is done in
    // pselect within the budget.
    options.c_cc[VMIN] = 0;
    options.c_cc[VTIME] = 0;
    ::tcsetattr(fd_, TCSANOW, &options);

    // The time of one character: start bit, data bits, parity bit and stop
    // bits. Rate 0 (hang up) carries no characters.
    if (baudrate_ == 0) {
        byte_time_ns_ = 0;
    } else {
        uint32_t bit_time_ns = static_cast<uint32_t>(1e9 / static_cast<double>(baudrate_));
        uint32_t bits = 1 + static_cast<uint32_t>(bytesize_) + (parity_ == parity_none ? 0 : 1) +
                        static_cast<uint32_t>(stopbits_);
        byte_time_ns_ = bits * bit_time_ns;
        if (stopbits_ == stopbits_one_point_five) {
            // Counted as 3 above; 1.5 stop bits is 1.5 bit times less.
            byte_time_ns_ -= (3 * bit_time_ns) / 2;
        }
    }
}

void Serial::SerialImpl::close() {
    if (!is_open_) return;
    if (fd_ != -1) {
        // The descriptor is released even when close() reports an error:
        // forget it first, so that nothing closes the number again (it may
        // already belong to another file).
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) THROW(IOException, errno);
    }
    is_open_ = false;
}

// --- Reading and writing ---------------------------------------------------

size_t Serial::SerialImpl::available() {
    if (!is_open_) return 0;
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) == -1) THROW(IOException, errno);
    return static_cast<size_t>(count);
}

bool Serial::SerialImpl::waitReadable(uint32_t timeout) {
    if (!is_open_ || fd_ == -1) throw PortNotOpenedException("Serial::waitReadable");
    fd_set readfds;
    FD_ZERO(&readfds);
    FD_SET(fd_, &readfds);
    timespec timeout_ts(timespec_from_ms(timeout));
    int r = pselect(fd_ + 1, &readfds, nullptr, nullptr, &timeout_ts, nullptr);
    if (r < 0) {
        // A signal ends the wait as if nothing had arrived.
        if (errno == EINTR) return false;
        THROW(IOException, errno);
    }
    if (r == 0) return false;
    if (!FD_ISSET(fd_, &readfds)) {
        THROW(IOException,
              "select reports ready to read, but our fd isn't in the list, this shouldn't "
              "happen!");
    }
    return true;
}

void Serial::SerialImpl::waitNanoseconds(uint64_t ns) {
    timespec wait_time{};
    wait_time.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    wait_time.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    pselect(0, nullptr, nullptr, nullptr, &wait_time, nullptr);
}

void Serial::SerialImpl::waitByteTimes(size_t count) {
    waitNanoseconds(static_cast<uint64_t>(byte_time_ns_) * count);
}

size_t Serial::SerialImpl::read(uint8_t* buf, size_t size) {
    if (!is_open_) throw PortNotOpenedException("Serial::read");
    size_t bytes_read = 0;

    uint64_t total_timeout_ms = static_cast<uint64_t>(timeout_.read_timeout_constant) +
                                static_cast<uint64_t>(timeout_.read_timeout_multiplier) * size;
    MillisecondTimer total_timeout(total_timeout_ms);

    // Whatever is already there, without waiting.
    {
        ssize_t bytes_read_now = ::read(fd_, buf, size);
        if (bytes_read_now > 0) bytes_read = static_cast<size_t>(bytes_read_now);
    }

    while (bytes_read < size) {
        int64_t timeout_remaining_ms = total_timeout.remaining();
        if (timeout_remaining_ms <= 0) break;
        uint32_t timeout = static_cast<uint32_t>(
            std::min<int64_t>(timeout_remaining_ms, timeout_.inter_byte_timeout));
        if (!waitReadable(timeout)) continue;

        // Let more characters arrive before the next system read, but
        // never past the end of the budget.
        if (size > 1 && timeout_.inter_byte_timeout == Timeout::max()) {
            size_t bytes_available = available();
            if (bytes_available + bytes_read < size) {
                uint64_t wait_ns =
                    static_cast<uint64_t>(byte_time_ns_) * (size - (bytes_available + bytes_read));
                int64_t left_ms = total_timeout.remaining();
                uint64_t left_ns = left_ms > 0 ? static_cast<uint64_t>(left_ms) * 1000000 : 0;
                waitNanoseconds(std::min(wait_ns, left_ns));
            }
        }

        ssize_t bytes_read_now = ::read(fd_, buf + bytes_read, size - bytes_read);
        if (bytes_read_now < 1) {
            throw SerialException(
                "device reports readiness to read but returned no data (device disconnected?)");
        }
        bytes_read += static_cast<size_t>(bytes_read_now);
        if (bytes_read == size) break;
        if (bytes_read > size) {
            throw SerialException(
                "read over read, too many bytes where read, this shouldn't happen, might be a "
                "logical error!");
        }
    }
    return bytes_read;
}

size_t Serial::SerialImpl::write(const uint8_t* data, size_t length) {
    if (!is_open_) throw PortNotOpenedException("Serial::write");
    fd_set writefds;
    size_t bytes_written = 0;

    uint64_t total_timeout_ms = static_cast<uint64_t>(timeout_.write_timeout_constant) +
                                static_cast<uint64_t>(timeout_.write_timeout_multiplier) * length;
    MillisecondTimer total_timeout(total_timeout_ms);

    while (bytes_written < length) {
        int64_t timeout_remaining_ms = total_timeout.remaining();
        if (timeout_remaining_ms <= 0) break;
        timespec timeout(timespec_from_ms(
            static_cast<uint32_t>(std::min<int64_t>(timeout_remaining_ms, Timeout::max()))));

        FD_ZERO(&writefds);
        FD_SET(fd_, &writefds);
        int r = pselect(fd_ + 1, nullptr, &writefds, nullptr, &timeout, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            THROW(IOException, errno);
        }
        if (r == 0) break;  // a write timeout is not an error
        if (!FD_ISSET(fd_, &writefds)) {
            THROW(IOException,
                  "select reports ready to write, but our fd isn't in the list, this shouldn't "
                  "happen!");
        }
        ssize_t bytes_written_now = ::write(fd_, data + bytes_written, length - bytes_written);
        if (bytes_written_now < 1) {
            throw SerialException(
                "device reports readiness to write but returned no data (device disconnected?)");
        }
        bytes_written += static_cast<size_t>(bytes_written_now);
        if (bytes_written == length) break;
        if (bytes_written > length) {
            throw SerialException(
                "write over wrote, too many bytes where written, this shouldn't happen, might be "
                "a logical error!");
        }
    }
    return bytes_written;
}

// --- Line settings -----------------------------------------------------------

void Serial::SerialImpl::setBaudrate(unsigned long baudrate) {
    baudrate_ = baudrate;
    if (is_open_) reconfigurePort();
}

void Serial::SerialImpl::setBytesize(bytesize_t bytesize) {
    bytesize_ = bytesize;
    if (is_open_) reconfigurePort();
}

void Serial::SerialImpl::setParity(parity_t parity) {
    parity_ = parity;
    if (is_open_) reconfigurePort();
}

void Serial::SerialImpl::setStopbits(stopbits_t stopbits) {
    stopbits_ = stopbits;
    if (is_open_) reconfigurePort();
}

void Serial::SerialImpl::setFlowcontrol(flowcontrol_t flowcontrol) {
    flowcontrol_ = flowcontrol;
    if (is_open_) reconfigurePort();
}

// --- Queues, break and modem lines ----------------------------------------

void Serial::SerialImpl::flush() {
    if (!is_open_) throw PortNotOpenedException("Serial::flush");
    tcdrain(fd_);
}

void Serial::SerialImpl::flushInput() {
    if (!is_open_) throw PortNotOpenedException("Serial::flushInput");
    tcflush(fd_, TCIFLUSH);
}

void Serial::SerialImpl::flushOutput() {
    if (!is_open_) throw PortNotOpenedException("Serial::flushOutput");
    tcflush(fd_, TCOFLUSH);
}

void Serial::SerialImpl::sendBreak(int duration) {
    if (!is_open_) throw PortNotOpenedException("Serial::sendBreak");
    tcsendbreak(fd_, duration / 4);
}

namespace {
// One modem-line ioctl; a failure throws with the operation's prefix, the
// errno and its text.
void modemLineIoctl(int fd, unsigned long request, void* argument, const char* prefix) {
    if (ioctl(fd, request, argument) == -1) {
        throw SerialException(modemLineError(prefix, errno).c_str());
    }
}
}  // namespace

void Serial::SerialImpl::setBreak(bool level) {
    if (!is_open_) throw PortNotOpenedException("Serial::setBreak");
    if (level)
        modemLineIoctl(fd_, TIOCSBRK, nullptr, "setBreak failed on a call to ioctl(TIOCSBRK): ");
    else
        modemLineIoctl(fd_, TIOCCBRK, nullptr, "setBreak failed on a call to ioctl(TIOCCBRK): ");
}

void Serial::SerialImpl::setRTS(bool level) {
    if (!is_open_) throw PortNotOpenedException("Serial::setRTS");
    int command = TIOCM_RTS;
    if (level)
        modemLineIoctl(fd_, TIOCMBIS, &command, "setRTS failed on a call to ioctl(TIOCMBIS): ");
    else
        modemLineIoctl(fd_, TIOCMBIC, &command, "setRTS failed on a call to ioctl(TIOCMBIC): ");
}

void Serial::SerialImpl::setDTR(bool level) {
    if (!is_open_) throw PortNotOpenedException("Serial::setDTR");
    int command = TIOCM_DTR;
    if (level)
        modemLineIoctl(fd_, TIOCMBIS, &command, "setDTR failed on a call to ioctl(TIOCMBIS): ");
    else
        modemLineIoctl(fd_, TIOCMBIC, &command, "setDTR failed on a call to ioctl(TIOCMBIC): ");
}

bool Serial::SerialImpl::waitForChange() {
    int command = (TIOCM_CD | TIOCM_DSR | TIOCM_RI | TIOCM_CTS);
    modemLineIoctl(fd_, TIOCMIWAIT, reinterpret_cast<void*>(static_cast<intptr_t>(command)),
                   "waitForDSR failed on a call to ioctl(TIOCMIWAIT): ");
    return true;
}

namespace {
bool modemLine(int fd, int line, const char* prefix) {
    int status;
    if (ioctl(fd, TIOCMGET, &status) == -1) {
        throw SerialException(modemLineError(prefix, errno).c_str());
    }
    return (status & line) != 0;
}
}  // namespace

bool Serial::SerialImpl::getCTS() {
    if (!is_open_) throw PortNotOpenedException("Serial::getCTS");
    return modemLine(fd_, TIOCM_CTS, "getCTS failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getDSR() {
    if (!is_open_) throw PortNotOpenedException("Serial::getDSR");
    return modemLine(fd_, TIOCM_DSR, "getDSR failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getRI() {
    if (!is_open_) throw PortNotOpenedException("Serial::getRI");
    return modemLine(fd_, TIOCM_RI, "getRI failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getCD() {
    if (!is_open_) throw PortNotOpenedException("Serial::getCD");
    return modemLine(fd_, TIOCM_CD, "getCD failed on a call to ioctl(TIOCMGET): ");
}

// --- Locks --------------------------------------------------------------------

void Serial::SerialImpl::readLock() {
    int result = pthread_mutex_lock(&read_mutex);
    if (result) THROW(IOException, result);
}

void Serial::SerialImpl::readUnlock() {
    int result = pthread_mutex_unlock(&read_mutex);
    if (result) THROW(IOException, result);
}

void Serial::SerialImpl::writeLock() {
    int result = pthread_mutex_lock(&write_mutex);
    if (result) THROW(IOException, result);
}

void Serial::SerialImpl::writeUnlock() {
    int result = pthread_mutex_unlock(&write_mutex);
    if (result) THROW(IOException, result);
}

}  // namespace serial
