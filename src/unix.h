// POSIX back end of the serial port: a terminal device in raw,
// non-blocking mode; every wait happens in pselect within the remaining
// budget. Also the millisecond timer used for the budgets.
#ifndef ULMET_UNIX_H
#define ULMET_UNIX_H

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "serial.h"

namespace serial {

// A deadline on the monotonic clock, `millis` milliseconds from now.
class MillisecondTimer {
  public:
    explicit MillisecondTimer(uint64_t millis);
    // Whole milliseconds from now to the deadline (negative once passed).
    int64_t remaining();

  private:
    static timespec timespec_now();
    timespec expiry;
};

timespec timespec_from_ms(uint32_t millis);

class Serial::SerialImpl {
  public:
    SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize,
               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol);
    virtual ~SerialImpl();

    SerialImpl(const SerialImpl&) = delete;
    SerialImpl& operator=(const SerialImpl&) = delete;

    void open();
    void close();
    bool isOpen() const { return is_open_; }

    size_t available();
    bool waitReadable(uint32_t timeout);
    void waitByteTimes(size_t count);

    size_t read(uint8_t* buf, size_t size = 1);
    size_t write(const uint8_t* data, size_t length);

    void flush();
    void flushInput();
    void flushOutput();
    void sendBreak(int duration);
    void setBreak(bool level);
    void setRTS(bool level);
    void setDTR(bool level);
    bool waitForChange();
    bool getCTS();
    bool getDSR();
    bool getRI();
    bool getCD();

    void setPort(const std::string& port) { port_ = port; }
    std::string getPort() const { return port_; }
    void setTimeout(const Timeout& timeout) { timeout_ = timeout; }
    Timeout getTimeout() const { return timeout_; }
    void setBaudrate(unsigned long baudrate);
    unsigned long getBaudrate() const { return static_cast<unsigned long>(baudrate_); }
    void setBytesize(bytesize_t bytesize);
    bytesize_t getBytesize() const { return bytesize_; }
    void setParity(parity_t parity);
    parity_t getParity() const { return parity_; }
    void setStopbits(stopbits_t stopbits);
    stopbits_t getStopbits() const { return stopbits_; }
    void setFlowcontrol(flowcontrol_t flowcontrol);
    flowcontrol_t getFlowcontrol() const { return flowcontrol_; }

    // The time one character takes on the line with the current settings.
    uint32_t byteTimeNs() const { return byte_time_ns_; }

    void readLock();
    void readUnlock();
    void writeLock();
    void writeUnlock();

  protected:
    void reconfigurePort();

  private:
    // Sleeps `ns` nanoseconds in pselect (a signal ends it early).
    static void waitNanoseconds(uint64_t ns);

    std::string port_;
    int fd_;
    bool is_open_;
    bool xonxoff_;
    bool rtscts_;
    Timeout timeout_;
    uint64_t baudrate_;
    uint32_t byte_time_ns_;
    parity_t parity_;
    bytesize_t bytesize_;
    stopbits_t stopbits_;
    flowcontrol_t flowcontrol_;
    pthread_mutex_t read_mutex{};
    pthread_mutex_t write_mutex{};
};

}  // namespace serial

#endif
