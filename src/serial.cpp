#include "serial.h"

#include <cstring>
#include <sstream>

#include "unix.h"

namespace serial {

// --- Exceptions --------------------------------------------------------------

SerialException::SerialException(const char* description) {
    std::stringstream ss;
    ss << "SerialException " << description << " failed.";
    e_what_ = ss.str();
}

IOException::IOException(const std::string& file, int line, int errnum)
    : file_(file), line_(line), errno_(errnum) {
    std::stringstream ss;
    ss << "IO Exception (" << errno_ << "): " << strerror(errnum) << ", file " << file_ << ", line "
       << line_ << ".";
    e_what_ = ss.str();
}

IOException::IOException(const std::string& file, int line, const char* description)
    : file_(file), line_(line), errno_(0) {
    std::stringstream ss;
    ss << "IO Exception: " << description << ", file " << file_ << ", line " << line_ << ".";
    e_what_ = ss.str();
}

PortNotOpenedException::PortNotOpenedException(const char* description) {
    std::stringstream ss;
    ss << "PortNotOpenedException " << description << " failed.";
    e_what_ = ss.str();
}

// --- Scoped locks ---------------------------------------------------------------

// Hold the read or write mutex for one scope, released on every exit. The
// release cannot fail for a mutex that this guard holds, and a destructor
// must not throw, so its result is not examined here.
class Serial::ScopedReadLock {
  public:
    explicit ScopedReadLock(SerialImpl* pimpl) : pimpl_(pimpl) { pimpl_->readLock(); }
    ~ScopedReadLock() {
        try {
            pimpl_->readUnlock();
        } catch (...) {
        }
    }
    ScopedReadLock(const ScopedReadLock&) = delete;
    ScopedReadLock& operator=(const ScopedReadLock&) = delete;

  private:
    SerialImpl* pimpl_;
};

class Serial::ScopedWriteLock {
  public:
    explicit ScopedWriteLock(SerialImpl* pimpl) : pimpl_(pimpl) { pimpl_->writeLock(); }
    ~ScopedWriteLock() {
        try {
            pimpl_->writeUnlock();
        } catch (...) {
        }
    }
    ScopedWriteLock(const ScopedWriteLock&) = delete;
    ScopedWriteLock& operator=(const ScopedWriteLock&) = delete;

  private:
    SerialImpl* pimpl_;
};

// --- Facade --------------------------------------------------------------------

Serial::Serial(const std::string& port, uint32_t baudrate, Timeout timeout, bytesize_t bytesize,
               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol)
    : pimpl_(new SerialImpl(port, baudrate, bytesize, parity, stopbits, flowcontrol)) {
    pimpl_->setTimeout(timeout);
}

Serial::~Serial() { delete pimpl_; }

void Serial::open() { pimpl_->open(); }
void Serial::close() { pimpl_->close(); }
bool Serial::isOpen() const { return pimpl_->isOpen(); }
size_t Serial::available() { return pimpl_->available(); }

bool Serial::waitReadable() {
    Timeout timeout(pimpl_->getTimeout());
    return pimpl_->waitReadable(timeout.read_timeout_constant);
}

void Serial::waitByteTimes(size_t count) { pimpl_->waitByteTimes(count); }

size_t Serial::read_(uint8_t* buffer, size_t size) { return pimpl_->read(buffer, size); }
size_t Serial::write_(const uint8_t* data, size_t length) { return pimpl_->write(data, length); }

size_t Serial::read(uint8_t* buffer, size_t size) {
    ScopedReadLock lock(pimpl_);
    return read_(buffer, size);
}

size_t Serial::read(std::vector<uint8_t>& buffer, size_t size) {
    ScopedReadLock lock(pimpl_);
    std::vector<uint8_t> scratch(size);
    size_t bytes_read = read_(scratch.data(), size);
    buffer.insert(buffer.end(), scratch.begin(), scratch.begin() + bytes_read);
    return bytes_read;
}

size_t Serial::read(std::string& buffer, size_t size) {
    ScopedReadLock lock(pimpl_);
    std::vector<uint8_t> scratch(size);
    size_t bytes_read = read_(scratch.data(), size);
    buffer.append(reinterpret_cast<const char*>(scratch.data()), bytes_read);
    return bytes_read;
}

std::string Serial::read(size_t size) {
    std::string buffer;
    read(buffer, size);
    return buffer;
}

size_t Serial::readline(std::string& buffer, size_t size, const std::string& eol) {
    ScopedReadLock lock(pimpl_);
    const size_t eol_len = eol.length();
    std::vector<uint8_t> scratch(size + 1);
    size_t read_so_far = 0;
    while (read_so_far < size) {
        size_t bytes_read = read_(scratch.data() + read_so_far, 1);
        read_so_far += bytes_read;
        if (bytes_read == 0) break;  // timeout
        if (read_so_far < eol_len) continue;
        if (std::string(reinterpret_cast<const char*>(scratch.data() + read_so_far - eol_len),
                        eol_len) == eol) {
            break;
        }
    }
    buffer.append(reinterpret_cast<const char*>(scratch.data()), read_so_far);
    return read_so_far;
}

std::string Serial::readline(size_t size, const std::string& eol) {
    std::string buffer;
    readline(buffer, size, eol);
    return buffer;
}

std::vector<std::string> Serial::readlines(size_t size, const std::string& eol) {
    ScopedReadLock lock(pimpl_);
    std::vector<std::string> lines;
    const size_t eol_len = eol.length();
    std::vector<uint8_t> scratch(size + 1);
    const char* text = reinterpret_cast<const char*>(scratch.data());
    size_t read_so_far = 0;
    size_t start_of_line = 0;
    while (read_so_far < size) {
        size_t bytes_read = read_(scratch.data() + read_so_far, 1);
        read_so_far += bytes_read;
        if (bytes_read == 0) break;  // timeout
        if (read_so_far < eol_len) continue;
        if (std::string(text + read_so_far - eol_len, eol_len) == eol) {
            lines.push_back(std::string(text + start_of_line, read_so_far - start_of_line));
            start_of_line = read_so_far;
        }
    }
    if (start_of_line != read_so_far) {
        lines.push_back(std::string(text + start_of_line, read_so_far - start_of_line));
    }
    return lines;
}

size_t Serial::write(const uint8_t* data, size_t size) {
    ScopedWriteLock lock(pimpl_);
    return write_(data, size);
}

size_t Serial::write(const std::vector<uint8_t>& data) {
    ScopedWriteLock lock(pimpl_);
    return write_(data.data(), data.size());
}

size_t Serial::write(const std::string& data) {
    ScopedWriteLock lock(pimpl_);
    return write_(reinterpret_cast<const uint8_t*>(data.data()), data.length());
}

void Serial::setPort(const std::string& port) {
    ScopedReadLock rlock(pimpl_);
    ScopedWriteLock wlock(pimpl_);
    bool was_open = pimpl_->isOpen();
    if (was_open) close();
    pimpl_->setPort(port);
    if (was_open) open();
}

std::string Serial::getPort() const { return pimpl_->getPort(); }

void Serial::setTimeout(const Timeout& timeout) { pimpl_->setTimeout(timeout); }

void Serial::setTimeout(uint32_t inter_byte_timeout, uint32_t read_timeout_constant,
                        uint32_t read_timeout_multiplier, uint32_t write_timeout_constant,
                        uint32_t write_timeout_multiplier) {
    pimpl_->setTimeout(Timeout(inter_byte_timeout, read_timeout_constant, read_timeout_multiplier,
                               write_timeout_constant, write_timeout_multiplier));
}

Timeout Serial::getTimeout() const { return pimpl_->getTimeout(); }

void Serial::setBaudrate(uint32_t baudrate) { pimpl_->setBaudrate(baudrate); }
uint32_t Serial::getBaudrate() const { return static_cast<uint32_t>(pimpl_->getBaudrate()); }
void Serial::setBytesize(bytesize_t bytesize) { pimpl_->setBytesize(bytesize); }
bytesize_t Serial::getBytesize() const { return pimpl_->getBytesize(); }
void Serial::setParity(parity_t parity) { pimpl_->setParity(parity); }
parity_t Serial::getParity() const { return pimpl_->getParity(); }
void Serial::setStopbits(stopbits_t stopbits) { pimpl_->setStopbits(stopbits); }
stopbits_t Serial::getStopbits() const { return pimpl_->getStopbits(); }
void Serial::setFlowcontrol(flowcontrol_t flowcontrol) { pimpl_->setFlowcontrol(flowcontrol); }
flowcontrol_t Serial::getFlowcontrol() const { return pimpl_->getFlowcontrol(); }

void Serial::flush() {
    ScopedReadLock rlock(pimpl_);
    ScopedWriteLock wlock(pimpl_);
    pimpl_->flush();
}

void Serial::flushInput() {
    ScopedReadLock lock(pimpl_);
    pimpl_->flushInput();
}

void Serial::flushOutput() {
    ScopedWriteLock lock(pimpl_);
    pimpl_->flushOutput();
}

void Serial::sendBreak(int duration) { pimpl_->sendBreak(duration); }
void Serial::setBreak(bool level) { pimpl_->setBreak(level); }
void Serial::setRTS(bool level) { pimpl_->setRTS(level); }
void Serial::setDTR(bool level) { pimpl_->setDTR(level); }
bool Serial::waitForChange() { return pimpl_->waitForChange(); }
bool Serial::getCTS() { return pimpl_->getCTS(); }
bool Serial::getDSR() { return pimpl_->getDSR(); }
bool Serial::getRI() { return pimpl_->getRI(); }
bool Serial::getCD() { return pimpl_->getCD(); }

}  // namespace serial
