// Serial port class of the acquisition daemon: a facade over a POSIX
// terminal back end (termios, ioctl, pselect) with read and write budgets,
// a read lock and a write lock, and typed exceptions. Also the list of the
// machine's serial ports.
#ifndef ULMET_SERIAL_H
#define ULMET_SERIAL_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

// Raises an exception that records the source file and line of the
// statement that raises it.
#define THROW(exceptionClass, message) throw exceptionClass(__FILE__, __LINE__, (message))

namespace serial {

// Line settings. The values are fixed: several take part in computations
// (the character time counts data and stop bits by these numbers).
typedef enum { fivebits = 5, sixbits = 6, sevenbits = 7, eightbits = 8 } bytesize_t;
typedef enum { parity_none = 0, parity_odd = 1, parity_even = 2 } parity_t;
typedef enum { stopbits_one = 1, stopbits_two = 2, stopbits_one_point_five = 3 } stopbits_t;
typedef enum {
    flowcontrol_none = 0,
    flowcontrol_software = 1,
    flowcontrol_hardware = 2
} flowcontrol_t;

// Budgets of reads and writes, in milliseconds. A read of n bytes may take
// read_timeout_constant + read_timeout_multiplier * n, a write likewise;
// inter_byte_timeout bounds each single wait for the next character
// (max() means no limit).
struct Timeout {
    static uint32_t max() { return std::numeric_limits<uint32_t>::max(); }
    // Fixed read and write budgets of `timeout` ms, no inter-byte limit.
    static Timeout simpleTimeout(uint32_t timeout) {
        return Timeout(max(), timeout, 0, timeout, 0);
    }

    uint32_t inter_byte_timeout;
    uint32_t read_timeout_constant;
    uint32_t read_timeout_multiplier;
    uint32_t write_timeout_constant;
    uint32_t write_timeout_multiplier;

    explicit Timeout(uint32_t inter_byte_timeout_ = 0, uint32_t read_timeout_constant_ = 0,
                     uint32_t read_timeout_multiplier_ = 0, uint32_t write_timeout_constant_ = 0,
                     uint32_t write_timeout_multiplier_ = 0)
        : inter_byte_timeout(inter_byte_timeout_),
          read_timeout_constant(read_timeout_constant_),
          read_timeout_multiplier(read_timeout_multiplier_),
          write_timeout_constant(write_timeout_constant_),
          write_timeout_multiplier(write_timeout_multiplier_) {}
};

class Serial {
  public:
    // Opens the port at once when `port` is not empty.
    Serial(const std::string& port = "", uint32_t baudrate = 9600, Timeout timeout = Timeout(),
           bytesize_t bytesize = eightbits, parity_t parity = parity_none,
           stopbits_t stopbits = stopbits_one, flowcontrol_t flowcontrol = flowcontrol_none);
    virtual ~Serial();

    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    void open();
    bool isOpen() const;
    void close();

    // Bytes waiting in the input queue; 0 when the port is closed.
    size_t available();
    // Waits up to the read budget's constant for input; false on timeout.
    bool waitReadable();
    // Waits for the time `count` characters take on the line.
    void waitByteTimes(size_t count);

    // Reads up to `size` bytes within the read budget; a timeout is not an
    // error and returns what arrived.
    size_t read(uint8_t* buffer, size_t size);
    size_t read(std::vector<uint8_t>& buffer, size_t size = 1);
    size_t read(std::string& buffer, size_t size = 1);
    std::string read(size_t size = 1);

    // Reads byte by byte until `eol`, `size` bytes or a timeout.
    size_t readline(std::string& buffer, size_t size = 65536, const std::string& eol = "\n");
    std::string readline(size_t size = 65536, const std::string& eol = "\n");
    std::vector<std::string> readlines(size_t size = 65536, const std::string& eol = "\n");

    size_t write(const uint8_t* data, size_t size);
    size_t write(const std::vector<uint8_t>& data);
    size_t write(const std::string& data);

    void setPort(const std::string& port);
    std::string getPort() const;

    void setTimeout(const Timeout& timeout);
    void setTimeout(uint32_t inter_byte_timeout, uint32_t read_timeout_constant,
                    uint32_t read_timeout_multiplier, uint32_t write_timeout_constant,
                    uint32_t write_timeout_multiplier);
    Timeout getTimeout() const;

    void setBaudrate(uint32_t baudrate);
    uint32_t getBaudrate() const;
    void setBytesize(bytesize_t bytesize);
    bytesize_t getBytesize() const;
    void setParity(parity_t parity);
    parity_t getParity() const;
    void setStopbits(stopbits_t stopbits);
    stopbits_t getStopbits() const;
    void setFlowcontrol(flowcontrol_t flowcontrol);
    flowcontrol_t getFlowcontrol() const;

    void flush();
    void flushInput();
    void flushOutput();
    void sendBreak(int duration);
    void setBreak(bool level = true);
    void setRTS(bool level = true);
    void setDTR(bool level = true);
    bool waitForChange();
    bool getCTS();
    bool getDSR();
    bool getRI();
    bool getCD();

    // The platform back end (unix.h).
    class SerialImpl;

  private:
    class ScopedReadLock;
    class ScopedWriteLock;

    size_t read_(uint8_t* buffer, size_t size);
    size_t write_(const uint8_t* data, size_t length);

    SerialImpl* pimpl_;
};

class SerialException : public std::exception {
  public:
    explicit SerialException(const char* description);
    const char* what() const noexcept override { return e_what_.c_str(); }

  private:
    std::string e_what_;
};

class IOException : public std::exception {
  public:
    IOException(const std::string& file, int line, int errnum);
    IOException(const std::string& file, int line, const char* description);
    int getErrorNumber() const { return errno_; }
    const char* what() const noexcept override { return e_what_.c_str(); }

  private:
    std::string file_;
    int line_;
    std::string e_what_;
    int errno_;
};

class PortNotOpenedException : public std::exception {
  public:
    explicit PortNotOpenedException(const char* description);
    const char* what() const noexcept override { return e_what_.c_str(); }

  private:
    std::string e_what_;
};

// One serial port of the machine.
struct PortInfo {
    std::string port;         // device path, e.g. /dev/ttyUSB0
    std::string description;  // readable name; never empty
    std::string hardware_id;  // hardware identification; "n/a" when unknown
};

// The machine's serial ports, in the order of the search patterns and,
// within one pattern, sorted.
std::vector<PortInfo> list_ports();

}  // namespace serial

#endif
