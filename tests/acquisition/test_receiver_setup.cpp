// A command's reply on a real pseudo-terminal: found when it arrives in
// pieces, its line end awaited, log text around it handed on in order, and
// a line that stays silent or refuses failing the command.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "acquisition/ReceiverSetup.h"
#include "serial.h"

using namespace std::chrono;
using receiver::Reply;

namespace {

struct CommandReply : ::testing::Test {
    testsupport::Pty pty;
    serial::Serial port{pty.path(), 9600, serial::Timeout::simpleTimeout(250)};
    std::string other;
    // The receiver's side: `pieces` sent with a pause of `gap` between them.
    receiver::Answer send(const std::vector<std::string>& pieces, milliseconds gap,
                          milliseconds wait = milliseconds(3000)) {
        std::thread device([&] {
            pty.readUntil("\n", milliseconds(2000));
            for (const std::string& piece : pieces) {
                pty.write(piece);
                std::this_thread::sleep_for(gap);
            }
        });
        receiver::Answer answer = receiver::sendCommand(
            port, "log satvisa ontime 60\r\n", [this](const std::string& t) { other += t; }, wait);
        device.join();
        return answer;
    }
};

TEST_F(CommandReply, ReplyInPiecesAmongLogTextIsFoundAndTheRestHandedOn) {
    // The "<" ends one read and the line end comes two reads later.
    auto start = steady_clock::now();
    receiver::Answer a =
        send({"#SATXYZ2A,1,2*0badf00d\r\n<", "O", "K\r", "\n#BESTPOSA,3"}, milliseconds(300));
    EXPECT_EQ(a.reply, Reply::Ok);
    EXPECT_EQ(a.line, "<OK");
    EXPECT_LT(steady_clock::now() - start, milliseconds(2500));  // not the whole wait
    // Everything else, in order, once the reply was found; what arrives
    // after it is read by the next read.
    EXPECT_EQ(other.substr(0, 24), "#SATXYZ2A,1,2*0badf00d\r\n");
    EXPECT_EQ(a.text.substr(0, a.text.find("K\r\n") + 3), "#SATXYZ2A,1,2*0badf00d\r\n<OK\r\n");
    std::string rest = other.substr(24) + port.read(8192);
    EXPECT_EQ(rest, "#BESTPOSA,3");
}

TEST_F(CommandReply, ErrorNoReplyAndACutReplyLine) {
    receiver::Answer a = send({"<ERROR: invalid trigger\r\n"}, milliseconds(0));
    EXPECT_EQ(a.reply, Reply::Error);
    EXPECT_EQ(a.line, "<ERROR: invalid trigger");
    EXPECT_EQ(other, "");

    // Log text only: no reply within the wait, and the text is not lost.
    auto start = steady_clock::now();
    a = send({"#BESTPOSA,1,2*00000000\r\n"}, milliseconds(0), milliseconds(1000));
    EXPECT_EQ(a.reply, Reply::None);
    EXPECT_GE(steady_clock::now() - start, milliseconds(1000));
    EXPECT_EQ(other, "#BESTPOSA,1,2*00000000\r\n");

    // A reply whose line end never comes still counts for what it is.
    other.clear();
    a = send({"<OK"}, milliseconds(0), milliseconds(800));
    EXPECT_EQ(a.reply, Reply::Ok);
    EXPECT_EQ(other, "");
}

TEST(SilenceWatch, AttemptsComeALimitApartAndAValidLogStartsAgain) {
    using Clock = receiver::SilenceWatch::Clock;
    using Action = receiver::SilenceWatch::Action;
    Clock::time_point t0 = Clock::now();
    receiver::SilenceWatch watch(seconds(150), 3, t0);
    EXPECT_EQ(watch.check(t0 + seconds(149)), Action::None);
    EXPECT_EQ(watch.check(t0 + seconds(150)), Action::SetUpAgain);
    EXPECT_EQ(watch.check(t0 + seconds(299)), Action::None);
    EXPECT_EQ(watch.check(t0 + seconds(300)), Action::SetUpAgain);
    watch.heard(t0 + seconds(310));  // the receiver is back
    EXPECT_EQ(watch.check(t0 + seconds(459)), Action::None);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(watch.check(t0 + seconds(310 + 150 * n)), Action::SetUpAgain);
        EXPECT_EQ(watch.attempt(), n);
    }
    EXPECT_EQ(watch.check(t0 + seconds(310 + 600)), Action::GiveUp);
    EXPECT_EQ(watch.silentFor(t0 + seconds(910)), seconds(600));
    EXPECT_EQ(watch.reinitialisations(), 5);
}

}  // namespace
