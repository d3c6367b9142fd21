// The serial port layer on real pseudo-terminals, and the port list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace

TEST(SerialPort, OpensRawWithTheAskedLine) {
    Pty pty;
    // The line settings as the terminal holds them, after `change`.
    auto settings = [&pty](void (*change)(termios&) = nullptr) {
        struct termios t {};
        int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        if (change != nullptr) change(t);
        EXPECT_TRUE(change == nullptr || tcsetattr(fd, TCSANOW, &t) == 0);
        ::close(fd);
        return t;
    };
    settings([](termios& t) {  // the line as a terminal starts: cooked, echoing, translating
        t.c_lflag |= ISIG | ICANON | ECHO;
        t.c_oflag |= OPOST;
        t.c_iflag |= ICRNL | IXON;
    });
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    EXPECT_THROW(port.open(), serial::SerialException);  // already open
    struct termios t = settings();
    const tcflag_t line = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    EXPECT_EQ(t.c_cflag & line, static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ((t.c_lflag & (ISIG | ICANON | ECHO)) | (t.c_oflag & OPOST), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

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
