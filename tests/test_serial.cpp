// The serial port layer on real pseudo-terminals, and the port list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"
#include "list_ports_linux.h"
#include "serial.h"
#include "unix.h"

using namespace std::chrono;
using serial::Serial;
using serial::Timeout;
using testsupport::Pty;

namespace {

long elapsedMs(steady_clock::time_point start) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

// The text of the exception of type E that `call` throws, or "".
template <typename E>
std::string thrownText(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(SerialPort, OpensRawAndRefusesDoubleOpen) {
    Serial unopened;
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { unopened.open(); }),
              "Empty port is invalid.");
    Pty pty;
    {  // The line as a terminal starts: cooked, echoing, translating.
        int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        struct termios t {};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_lflag |= ISIG | ICANON | ECHO;
        t.c_oflag |= OPOST;
        t.c_iflag |= ICRNL | IXON;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    EXPECT_EQ(thrownText<serial::SerialException>([&] { port.open(); }),
              "SerialException Serial port already open. failed.");
    // The line settings as the terminal holds them.
    auto settings = [&pty] {
        struct termios t {};
        int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        ::close(fd);
        return t;
    };
    struct termios t = settings();
    const tcflag_t line = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    EXPECT_EQ(t.c_cflag & line, static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ((t.c_lflag & (ISIG | ICANON | ECHO)) | (t.c_oflag & OPOST), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    Serial::SerialImpl none(pty.path(), 9600, serial::eightbits, serial::parity_none,
                            serial::stopbits_one, serial::flowcontrol_none);
    Serial::SerialImpl even(pty.path(), 9600, serial::eightbits, serial::parity_even,
                            serial::stopbits_one, serial::flowcontrol_none);
    // A pseudo-terminal forces 8 bits without a parity bit, but keeps which
    // parity was asked for and the rest of the line.
    const tcflag_t kept = PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    EXPECT_EQ(settings().c_cflag & kept, static_cast<tcflag_t>(CLOCAL | CREAD));
    Serial::SerialImpl odd(pty.path(), 9600, serial::sevenbits, serial::parity_odd,
                           serial::stopbits_two, serial::flowcontrol_hardware);
    EXPECT_EQ(settings().c_cflag & kept,
              static_cast<tcflag_t>(PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD));
    even.setParity(serial::parity_even);
    EXPECT_EQ(settings().c_cflag & kept, static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(none.byteTimeNs(), 10u * 104166u);
    EXPECT_EQ(even.byteTimeNs(), 11u * 104166u);
    EXPECT_EQ(odd.byteTimeNs(), 11u * 104166u);  // 7 bits, a parity bit and two stop bits
    Serial::SerialImpl slow(pty.path(), 9600, serial::eightbits, serial::parity_none,
                            serial::stopbits_one_point_five, serial::flowcontrol_none);
    EXPECT_EQ(slow.byteTimeNs(), 21u * 104166u / 2);  // 10.5 bit times
    // Every standard rate reaches the line as its own speed constant.
    for (const auto& [rate, speed] :
         {std::pair{75u, B75},  {110u, B110},         {134u, B134},         {150u, B150},
          {200u, B200},         {300u, B300},         {600u, B600},         {1200u, B1200},
          {1800u, B1800},       {2400u, B2400},       {4800u, B4800},       {19200u, B19200},
          {38400u, B38400},     {57600u, B57600},     {115200u, B115200},   {230400u, B230400},
          {460800u, B460800},   {921600u, B921600},   {1000000u, B1000000}, {1152000u, B1152000},
          {1500000u, B1500000}, {2000000u, B2000000}, {2500000u, B2500000}, {3000000u, B3000000},
          {3500000u, B3500000}, {4000000u, B4000000}}) {
        Serial at(pty.path(), rate, Timeout::simpleTimeout(1));
        struct termios now = settings();
        EXPECT_EQ(cfgetospeed(&now), speed) << rate;
    }
}

TEST(SerialPort, ReadsWithinBudgetWritesAndSplitsLines) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    auto start = steady_clock::now();
    EXPECT_EQ(port.read(8192), "");
    EXPECT_GE(elapsedMs(start), 245);
    EXPECT_LT(elapsedMs(start), 2000);

    // A steady stream: the read returns what arrived and nothing is lost.
    std::string stream;
    for (int i = 0; i < 8; ++i) stream += "chunk-" + std::to_string(i) + ";";
    std::thread writer([&] {
        for (int i = 0; i < 8; ++i) {
            pty.write(stream.substr(i * 8, 8));
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    start = steady_clock::now();
    std::string first = port.read(8192);
    EXPECT_LT(elapsedMs(start), 2000);  // the budget, not the time 8192 bytes take
    writer.join();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first + port.read(8192), stream);

    EXPECT_EQ(port.write(std::string("log versiona once\r\n")), 19u);
    EXPECT_EQ(pty.readUntil("\r\n", milliseconds(2000)), "log versiona once\r\n");
    pty.write("first\nsecond\nthird");
    EXPECT_EQ(port.readline(), "first\n");
    EXPECT_EQ(port.readlines(), (std::vector<std::string>{"second\n", "third"}));
}

TEST(SerialPort, ClosedPortOperationsThrow) {
    Serial port;
    const std::function<void()> operations[] = {
        [&] { port.read(1); },      [&] { port.write("x"); },    [&] { port.flush(); },
        [&] { port.flushInput(); }, [&] { port.sendBreak(1); },  [&] { port.setRTS(true); },
        [&] { port.getCTS(); },     [&] { port.getCD(); },       [&] { port.readline(); },
        [&] { port.readlines(); },  [&] { port.waitReadable(); }};
    // Twice: the locks are free again after every exception.
    for (int round = 0; round < 2; ++round)
        for (const auto& operation : operations)
            EXPECT_THROW(operation(), serial::PortNotOpenedException);
    EXPECT_EQ(port.available(), 0u);
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(ListPorts, EntriesAndTextHelpers) {
    for (const serial::PortInfo& info : serial::list_ports()) {
        EXPECT_TRUE(info.port.rfind("/dev/tty", 0) == 0 || info.port.rfind("/dev/cu.", 0) == 0)
            << info.port;
        EXPECT_FALSE(info.description.empty() || info.hardware_id.empty()) << info.port;
    }
    EXPECT_EQ(serial::detail::basename("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(serial::detail::dirname("/sys/class/tty"), "/sys/class");
    // With its brackets, 253 characters fit the first buffer of 256 bytes;
    // longer ones need a second pass.
    for (size_t length : {253, 254, 300}) {
        std::string text(length, 'x');
        EXPECT_EQ(serial::detail::format("<%s>", text.c_str()), "<" + text + ">");
    }
}
