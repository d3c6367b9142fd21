// The collector's decisions that need no server: options, option files,
// limits of a station's answer, status texts and the metrics file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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
                            "[client\nuser=x\n"}) {
        ClientOptions b;
        EXPECT_FALSE(parseOptionFile(bad, &b, &error)) << bad;
    }
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
        Options b;
        EXPECT_FALSE(parseArguments(bad, &b, &error)) << bad[0];
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
    EXPECT_EQ(b.take(101), Budget::Verdict::RowTooLarge);
    EXPECT_EQ(b.take(100), Budget::Verdict::Take);
    EXPECT_EQ(b.take(100), Budget::Verdict::Take);
    EXPECT_EQ(b.take(51), Budget::Verdict::RoundBytesSpent);
    EXPECT_EQ(b.take(50), Budget::Verdict::Take);
    EXPECT_EQ(b.bytes(), 250u);

    std::uint64_t id = 0;
    EXPECT_TRUE(parseId("18446744", 8, &id));
    EXPECT_EQ(id, 18446744u);
    EXPECT_FALSE(parseId("-1", 2, &id));
    EXPECT_FALSE(parseId("1e3", 3, &id));
    EXPECT_FALSE(parseId("99999999999999999999", 20, &id));
    EXPECT_FALSE(parseId(nullptr, 0, &id));
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
    std::string text = metricsText(r, {ok, never});
    EXPECT_THAT(text, HasSubstr("ulmet_collector_station_lag_seconds{station=\"st1\"} 4.5\n"));
    EXPECT_THAT(text, HasSubstr("ulmet_collector_station_lag_seconds{station=\"st2\"} NaN\n"));
    EXPECT_THAT(text, HasSubstr("ulmet_collector_station_up{station=\"st2\"} 0\n"));
    TempDir dir;
    std::ofstream(dir.file("c.prom")) << text;
    EXPECT_EQ(runToEnd({"/bin/sh", "-c", "promtool check metrics < c.prom"}, {}, dir.path()), "0|");
}
