// The one-command demo in its short form, as a user runs it: the whole
// station on its simulators and a private server, its result checked in
// the database it leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Processes whose command line names `dir`: what a demo left running.
std::string leftovers(const std::string& dir) {
    return runToEnd({"/bin/bash", "-c",
                     "for p in /proc/[0-9]*; do [ \"${p#/proc/}\" = $$ ] && continue; "
                     "c=$({ tr '\\0' ' ' < $p/cmdline; } 2>/dev/null) && [[ \"$c\" == *" +
                         dir + "* ]] && echo \"${p#/proc/} $c\"; done; true"});
}

TEST(Demo, ShortRunStoresEveryMinuteAndStopsEverything) {
    TempDir dir("ulmet-demo");
    // The whole run sees a clock a few seconds before a whole minute. The
    // faketime wrapper owns the clock library's shared state, which the
    // script's subshells would otherwise remove when they end.
    ChildProcess demo({"/usr/bin/faketime", "-f", "+" + std::to_string(offsetToSecondOfMinute(50)),
                       "/bin/bash", sourceDir() + "/scripts/demo", "--minutes", "2", "--dir",
                       dir.path(), "--bin-dir", binDir()},
                      {"DONT_FAKE_MONOTONIC=1"});
    ASSERT_EQ(demo.wait(420s), 0) << demo.output();
    const std::string out = demo.output();
    // Two acquired minutes in the summary (read from the run's database),
    // each with twelve satellite rows stamped at second 00, a pressure and a
    // plausible IPWV; a PNG; everything stopped: Corvana through its stop
    // sequence, the receiver's link removed.
    std::regex line(R"(\n\d{4}-\d\d-\d\d \d\d:\d\d +(\d+) +(\S+) +\S+ +\S+ +(\S+)(?=\n))");
    int minutes = 0;
    for (std::sregex_iterator it(out.begin() + out.find("=== Summary"), out.end(), line), end;
         it != end; ++it, ++minutes) {
        double ipwv = std::atof((*it)[3].str().c_str());
        EXPECT_TRUE((*it)[1] == "12" && (*it)[2] != "-" && ipwv >= 0.1 && ipwv <= 10) << it->str();
    }
    EXPECT_EQ(minutes, 2) << out;
    EXPECT_EQ(readFile(dir.file("ipwv.png")).substr(1, 3), "PNG");
    EXPECT_THAT(readFile(dir.file("corvana.log")), HasSubstr("Serial Comm CLOSED"));
    EXPECT_NE(access(dir.file("ttyGNSS").c_str(), F_OK), 0);
    EXPECT_EQ(leftovers(dir.path()), "0|");
}

// Stopped with TERM once everything runs: nothing it started is left, the
// collector included.
TEST(Demo, NetworkDemoEndsEverythingOnTerm) {
    TempDir dir("ulmet-ndemo");
    ChildProcess demo({"/bin/bash", sourceDir() + "/scripts/network-demo", "--stations", "1",
                       "--outage-seconds", "5", "--dir", dir.path(), "--bin-dir", binDir()});
    ASSERT_TRUE(demo.waitForOutput("stations running", 180s)) << demo.output();
    ASSERT_TRUE(waitFor(
        [&] { return leftovers(dir.path()).find("ulmet-collector") != std::string::npos; }, 10s))
        << leftovers(dir.path());
    demo.signal(SIGTERM);
    EXPECT_EQ(demo.wait(120s), 143) << demo.output();
    EXPECT_EQ(leftovers(dir.path()), "0|") << demo.output();
}

}  // namespace
