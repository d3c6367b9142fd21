// The collector's decisions that need no server: options, option files,
// limits of a station's answer, status texts and the metrics file.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "TestSupport.h"
#include "network/CollectorRules.h"

using namespace collector;
using namespace testsupport;

TEST(CollectorRules, ReadsTheOptionFilesThatAddAndInitWrite) {
    ClientOptions o;
    std::string error;
    ASSERT_TRUE(
        parseOptionFile("[client]\nhost=203.0.113.21\nport=3307\nuser=ulmet_pull\n"
                        "password=ab+/=cd\nssl\nssl-ca=/etc/tls/ca.pem\n"
                        "ssl-verify-server-cert\nconnect-timeout=10\n"
                        "ssl_cert = \"/etc/tls/c.pem\"\nssl-key=/etc/tls/k.pem\n"
                        "[mariadbd]\nhost=elsewhere\n",
                        &o, &error))
        << error;
    EXPECT_EQ(std::tie(o.host, o.password, o.sslCa, o.sslCert),
              std::make_tuple("203.0.113.21", "ab+/=cd", "/etc/tls/ca.pem", "/etc/tls/c.pem"));
    EXPECT_EQ(std::tie(o.port, o.connectTimeout, o.ssl, o.verifyServerCert),
              std::make_tuple(3307u, 10u, true, true));

    for (const char* bad : {"[client]\nport=0\n", "[client]\nport=70000\n", "[client]\nport=3x\n",
                            "[client\nuser=x\n"})
        EXPECT_FALSE(parseOptionFile(bad, &o, &error)) << bad;
}

TEST(CollectorRules, ArgumentsAreCheckedAndStationNamesAreSafe) {
    Options o;
    std::string error;
    ASSERT_TRUE(parseArguments(
        {"--every", "10", "--jobs", "8", "--deadline", "3", "--max-rows", "100", "st1", "b_2"}, &o,
        &error))
        << error;
    EXPECT_EQ(std::tie(o.every, o.jobs, o.limits.deadlineSeconds, o.limits.tableRows),
              std::make_tuple(10u, 8u, 3u, 100u));
    EXPECT_EQ(o.stations, (std::vector<std::string>{"st1", "b_2"}));
    const std::vector<std::vector<std::string>> bads = {
        {"--every", "0"}, {"--jobs", "-1"}, {"--jobs"}, {"--bogus", "1"},      {"St1"},
        {"1st"},          {"a`b"},          {"a b"},    {std::string(33, 'a')}};
    for (const std::vector<std::string>& bad : bads) {
        EXPECT_FALSE(parseArguments(bad, &o, &error)) << bad[0];
        EXPECT_FALSE(error.empty()) << bad[0];
    }
    EXPECT_EQ(std::make_tuple(plainIdentifier("a`b"), plainIdentifier("id;DROP"),
                              plainIdentifier("pressure_value")),
              std::make_tuple(false, false, true));
}

TEST(CollectorRules, AStationsAnswerCostsAtMostItsBudget) {
    Limits l;
    l.rowBytes = 100;
    l.roundBytes = 250;
    Budget b(l);
    using V = Budget::Verdict;
    std::vector<V> verdicts;
    for (std::size_t bytes : {101u, 100u, 100u, 51u, 50u}) verdicts.push_back(b.take(bytes));
    EXPECT_EQ(verdicts,
              (std::vector<V>{V::RowTooLarge, V::Take, V::Take, V::RoundBytesSpent, V::Take}));
    EXPECT_EQ(b.bytes(), 250u);

    std::uint64_t id = 0;
    EXPECT_TRUE(parseId("18446744", 8, &id));
    EXPECT_EQ(id, 18446744u);
    for (const char* bad : {"-1", "1e3", "99999999999999999999", ""})
        EXPECT_FALSE(parseId(*bad ? bad : nullptr, std::strlen(bad), &id)) << bad;
    EXPECT_EQ(fetchAbove(30, 50), 0u);
    EXPECT_EQ(fetchAbove(5000, 50), 4950u);
}

TEST(CollectorRules, StatusSaysWhatWentWrongFirstAndTheWorstState) {
    Outcome o;
    o.odd(idsWentBack("ipwv", 12, 4000));
    EXPECT_EQ(idsWentBack("ipwv", 4000, 4000), "");
    o.cap("cut");
    o.odd("later");
    EXPECT_EQ(o.state, "capped");
    EXPECT_EQ(o.error.find("cut; ids went back in ipwv"), 0u) << o.error;
    o.fail("timed out");
    EXPECT_EQ(o.state, "failed");
    EXPECT_EQ(o.error.find("timed out; cut; ids"), 0u) << o.error;
    EXPECT_LE(o.error.size(), 200u);

    EXPECT_EQ(cleanText("a\tb\nc\x01"), "a b c ");
    // Cut on a character boundary: "é" is two bytes.
    EXPECT_EQ(cleanText("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(cleanText(std::string(500, 'x')).size(), 200u);

    std::vector<long> waits;
    for (unsigned f = 0; f <= 8; ++f) waits.push_back(static_cast<long>(backoff(f).count()));
    EXPECT_EQ(waits, (std::vector<long>{0, 1, 2, 4, 8, 16, 30, 30, 30}));
}

TEST(CollectorRules, MetricsArePrometheusText) {
    RoundFigures r;
    r.now = 1765000000;
    r.roundSeconds = 0.25;
    r.rounds = 3;
    StationFigures ok{"st1", "ok", 4.5, 90, 0, 0}, never{"st2", "failed", -1, 0, 3, 0};
    // Checked by promtool as what it says.
    expectGolden("network/golden/collector-metrics.txt", metricsText(r, {ok, never}));
    EXPECT_EQ(runToEnd({"/bin/sh", "-c", "promtool check metrics < golden/collector-metrics.txt"},
                       {}, sourceDir() + "/tests/network"),
              "0|");
}
