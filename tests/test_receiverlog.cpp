#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ReceiverLog.h"
#include "TestSupport.h"

using testsupport::StdoutCapture;

namespace {

const char* kBestpos = "#BESTPOSA,a,b,c,d,2000,0.000;e,f,45.5,7.25,80.5,g,h,1.5,1.25,3.0";
const char* kSatxyz2 =
    "#SATXYZ2A,a,b,c,d,2000,0.000;2,s,3+2,x,y,z,c,i,2.5,r,r,s,12,x,y,z,c,i,2.3,r,r";

// A #SATVISA log at week 2000, 60 s, with one satellite record per
// (prn, elevation) pair.
std::string satvisLog(const std::vector<std::pair<std::string, std::string>>& sats) {
    std::string log = "#SATVISA,a,b,c,d,2000,60.0;t,t," + std::to_string(sats.size());
    for (const auto& s : sats) log += "," + s.first + ",0,0," + s.second + ",0,0,0";
    return log;
}

satxyz2 positions(std::vector<int32_t> prn, std::vector<double> td) {
    satxyz2 record;
    record.datatime = "2018-05-06 00:00:00";
    record.N_Sat = static_cast<int32_t>(prn.size());
    record.PRN_xyz = prn;
    record.TD = td;
    return record;
}

// Visibility parsed with the join, stdout left alone.
satvis joined(const std::string& log, const satxyz2& xyz, double cut = 30.0) {
    return ReceiverLog("#SATVISA", log, xyz, cut).satvisData;
}

// Visibility parsed alone; its progress printing is swallowed.
satvis alone(const std::string& log, double cut = 30.0) {
    StdoutCapture capture;
    satvis record = ReceiverLog("#SATVISA", log, cut).satvisData;
    capture.text();
    return record;
}

void expectEmpty(const ReceiverLog& parser) {
    EXPECT_TRUE(parser.bestposData.datatime.empty());
    EXPECT_TRUE(parser.satvisData.datatime.empty());
    EXPECT_TRUE(parser.satvisData.PRN_vis.empty());
    EXPECT_TRUE(parser.satxyz2Data.datatime.empty());
    EXPECT_TRUE(parser.satxyz2Data.PRN_xyz.empty());
}

TEST(Bestpos, WorkedLogAndTimes) {
    ReceiverLog parser("#BESTPOSA", kBestpos, 30.0);
    const bestpos& b = parser.bestposData;
    EXPECT_EQ(b.datatime, "2018-05-06 00:00:00");
    EXPECT_DOUBLE_EQ(b.position[0], 45.5);
    EXPECT_DOUBLE_EQ(b.position[1], 7.25);
    EXPECT_DOUBLE_EQ(b.position[2], 80.5);
    EXPECT_DOUBLE_EQ(b.positionErr[0], 1.5);
    EXPECT_DOUBLE_EQ(b.positionErr[1], 1.25);
    EXPECT_DOUBLE_EQ(b.positionErr[2], 3.0);
    EXPECT_TRUE(parser.satvisData.datatime.empty());
    EXPECT_TRUE(parser.satxyz2Data.datatime.empty());

    auto at = [](const std::string& week, const std::string& seconds) {
        return ReceiverLog("#BESTPOSA",
                           "#BESTPOSA,a,b,c,d," + week + "," + seconds + ";e,f,1,2,3,g,h,4,5,6",
                           30.0)
            .bestposData.datatime;
    };
    EXPECT_EQ(at("0", "0.000"), "1980-01-06 00:00:00");
    EXPECT_EQ(at("2000", "0.5"), "2018-05-06 00:00:00");
    EXPECT_EQ(at("1980", "345600.0"), "2017-12-21 00:00:00");
}

TEST(Bestpos, FramingRules) {
    // Text in front of the name without "," or ";" (the checksum and line
    // end of the previous log) changes nothing.
    ReceiverLog front("#BESTPOSA", std::string("1a2b3c4d\r\n") + kBestpos, 30.0);
    EXPECT_EQ(front.bestposData.datatime, "2018-05-06 00:00:00");
    EXPECT_DOUBLE_EQ(front.bestposData.positionErr[2], 3.0);

    // The name given decides, whatever the text carries.
    ReceiverLog renamed("#BESTPOSA",
                        "#SATVISA,a,b,c,d,2000,0.000;e,f,45.5,7.25,80.5,g,h,1.5,1.25,3.0", 30.0);
    EXPECT_DOUBLE_EQ(renamed.bestposData.position[0], 45.5);
    EXPECT_TRUE(renamed.satvisData.datatime.empty());

    // An empty field does not count: the later fields move forward.
    ReceiverLog gap("#BESTPOSA", "#BESTPOSA,a,b,c,d,2000,0;e,,45.5,7.25,80.5,g,h,1.5,1.25,3.0,z",
                    30.0);
    EXPECT_DOUBLE_EQ(gap.bestposData.position[0], 7.25);
    EXPECT_DOUBLE_EQ(gap.bestposData.positionErr[2], 0.0);  // "z" does not convert

    // A further ";" ends the body: too few fields are left, the log is
    // rejected.
    ReceiverLog cut("#BESTPOSA", "#BESTPOSA,a,b,c,d,2000,0;e,f,45.5,7.25;80.5,g,h,1.5,1.25,3.0",
                    30.0);
    expectEmpty(cut);
}

TEST(Constructors, NamesAreMatchedExactly) {
    satxyz2 xyz = positions({40}, {2.5});
    for (const char* name : {"#bestposa", "#BESTPOSA ", "BESTPOSA", "#SATVIS", "", "#VERSIONA"}) {
        ReceiverLog parser(name, kBestpos, 30.0);
        expectEmpty(parser);
    }
    // The joining constructor knows "#SATVISA" only.
    ReceiverLog second("#BESTPOSA", kBestpos, xyz, 30.0);
    expectEmpty(second);
    ReceiverLog secondXyz("#SATXYZ2A", kSatxyz2, xyz, 30.0);
    expectEmpty(secondXyz);
}

TEST(Satxyz2, WorkedLogAndIdentifiers) {
    ReceiverLog parser("#SATXYZ2A", kSatxyz2, 30.0);
    const satxyz2& s = parser.satxyz2Data;
    EXPECT_EQ(s.datatime, "2018-05-06 00:00:00");
    EXPECT_EQ(s.N_Sat, 2);
    EXPECT_EQ(s.PRN_xyz, (std::vector<int32_t>{40, 12}));
    EXPECT_EQ(s.TD, (std::vector<double>{2.5, 2.3}));

    std::string log = "#SATXYZ2A,a,b,c,d,2000,0;4";
    for (const char* id : {"13-2", "5+1", "12", "3+1-2"}) {
        log += std::string(",G,") + id + ",x,y,z,c,i,1.5,r,r";
    }
    ReceiverLog ids("#SATXYZ2A", log, 30.0);
    EXPECT_EQ(ids.satxyz2Data.PRN_xyz, (std::vector<int32_t>{50, 42, 12, 40}));
    EXPECT_EQ(ids.satxyz2Data.TD.size(), 4u);
}

TEST(Satxyz2, CountsAndCutBodies) {
    ReceiverLog none("#SATXYZ2A", "#SATXYZ2A,a,b,c,d,2000,0;0", 30.0);
    EXPECT_EQ(none.satxyz2Data.N_Sat, 0);
    EXPECT_EQ(none.satxyz2Data.datatime, "2018-05-06 00:00:00");
    EXPECT_TRUE(none.satxyz2Data.PRN_xyz.empty());
    EXPECT_TRUE(none.satxyz2Data.TD.empty());

    // The stated count bounds nothing.
    ReceiverLog more("#SATXYZ2A", "#SATXYZ2A,a,b,c,d,2000,0;7,s,9,x,y,z,c,i,2.1,r,r", 30.0);
    EXPECT_EQ(more.satxyz2Data.N_Sat, 7);
    EXPECT_EQ(more.satxyz2Data.PRN_xyz, (std::vector<int32_t>{9}));

    // Cut after the last identifier, before its delay.
    ReceiverLog cut("#SATXYZ2A", "#SATXYZ2A,a,b,c,d,2000,0;2,s,9,x,y,z,c,i,2.1,r,r,s,11,x", 30.0);
    EXPECT_EQ(cut.satxyz2Data.PRN_xyz, (std::vector<int32_t>{9, 11}));
    EXPECT_EQ(cut.satxyz2Data.TD, (std::vector<double>{2.1}));

    // No body at all: rejected.
    for (const char* log : {"#SATXYZ2A,a,b,c,d,2000,0;", "#SATXYZ2A,a,b,c,d,2000,0;,,,"}) {
        ReceiverLog empty("#SATXYZ2A", log, 30.0);
        expectEmpty(empty);
    }
}

TEST(Satvis, WorkedJoin) {
    ReceiverLog xyz("#SATXYZ2A", kSatxyz2, 30.0);
    satvis v = joined("#SATVISA,a,b,c,d,2000,60.0;t,t,2,40,0,0,45.0,0,0,0,12,0,0,-20.0,0,0,0",
                      xyz.satxyz2Data);
    EXPECT_EQ(v.datatime, "2018-05-06 00:01:00");
    EXPECT_EQ(v.N_Sat_vis, 2);
    EXPECT_EQ(v.PRN_vis, (std::vector<int32_t>{40}));
    EXPECT_EQ(v.Elevation, (std::vector<double>{45.0}));
    EXPECT_EQ(v.TD, (std::vector<double>{2.5}));

    satvis w = joined(satvisLog({{"40", "45"}}), positions({5, 40, 12}, {2.1, 2.5, 2.3}));
    EXPECT_EQ(w.PRN_vis, (std::vector<int32_t>{40}));
    EXPECT_EQ(w.TD, (std::vector<double>{2.5}));
}

TEST(Satvis, CutOffBothParsers) {
    satxyz2 xyz = positions({1, 2, 3, 4, 5}, {2.1, 2.2, 2.3, 2.4, 2.5});
    std::string log =
        satvisLog({{"1", "30"}, {"2", "29.5"}, {"3", "-35"}, {"4", "-20"}, {"5", "150"}});

    satvis j = joined(log, xyz);
    EXPECT_EQ(j.PRN_vis, (std::vector<int32_t>{1, 3, 5}));
    EXPECT_EQ(j.Elevation, (std::vector<double>{30.0, 35.0, 150.0}));
    EXPECT_EQ(j.TD, (std::vector<double>{2.1, 2.3, 2.5}));

    satvis a = alone(log);
    EXPECT_EQ(a.PRN_vis, (std::vector<int32_t>{1, 3, 5}));
    EXPECT_EQ(a.Elevation, (std::vector<double>{30.0, 145.0, 150.0}));
    EXPECT_TRUE(a.TD.empty());
    EXPECT_EQ(a.N_Sat_vis, 5);
}

TEST(Satvis, JoinLookUps) {
    // A duplicated number takes the delay of its first occurrence; a
    // satellite missing from the positions record leaves no entry, and the
    // next record is still read from its own fields.
    satxyz2 xyz = positions({7, 9, 7}, {1.1, 1.2, 1.3});
    satvis v = joined(satvisLog({{"7", "40"}, {"8", "50"}, {"9", "-60"}}), xyz);
    EXPECT_EQ(v.PRN_vis, (std::vector<int32_t>{7, 9}));
    EXPECT_EQ(v.Elevation, (std::vector<double>{40.0, 60.0}));
    EXPECT_EQ(v.TD, (std::vector<double>{1.1, 1.2}));

    // A positions record cut inside its last satellite: the match has no
    // delay, so the satellite is dropped and the lists stay equal.
    satxyz2 cut = positions({7, 9}, {1.1});
    satvis c = joined(satvisLog({{"9", "45"}, {"7", "45"}}), cut);
    EXPECT_EQ(c.PRN_vis, (std::vector<int32_t>{7}));
    EXPECT_EQ(c.TD, (std::vector<double>{1.1}));
    EXPECT_EQ(c.Elevation.size(), 1u);

    // No positions record yet: nothing but the time and the count.
    satvis e = joined(satvisLog({{"7", "45"}}), satxyz2());
    EXPECT_EQ(e.datatime, "2018-05-06 00:01:00");
    EXPECT_EQ(e.N_Sat_vis, 1);
    EXPECT_TRUE(e.PRN_vis.empty() && e.Elevation.empty() && e.TD.empty());

    // GLONASS slot 3 (filed under 40) found under its visibility number.
    ReceiverLog glonass("#SATXYZ2A", kSatxyz2, 30.0);
    EXPECT_EQ(joined(satvisLog({{"40", "80"}}), glonass.satxyz2Data).PRN_vis,
              (std::vector<int32_t>{40}));
}

TEST(Satvis, EmptyAndCutBodies) {
    satxyz2 xyz = positions({7, 9}, {1.1, 1.2});
    // A record cut after its number (before its elevation) is dropped.
    std::string cut = "#SATVISA,a,b,c,d,2000,60;t,t,2,7,0,0,45,0,0,0,9,0,0";
    satvis j = joined(cut, xyz);
    EXPECT_EQ(j.PRN_vis, (std::vector<int32_t>{7}));
    EXPECT_EQ(alone(cut).PRN_vis, (std::vector<int32_t>{7}));

    satvis three = joined("#SATVISA,a,b,c,d,2000,60;t,t,0", xyz);
    EXPECT_EQ(three.datatime, "2018-05-06 00:01:00");
    EXPECT_TRUE(three.PRN_vis.empty());

    for (const char* log : {"#SATVISA,a,b,c,d,2000,60;", "#SATVISA,a,b,c,d,2000,60;t,t",
                            "#SATVISA,a,b,c,d,2000,60"}) {
        ReceiverLog withJoin("#SATVISA", log, xyz, 30.0);
        expectEmpty(withJoin);
        EXPECT_TRUE(alone(log).datatime.empty());
    }
}

TEST(Malformed, NeverCrashAndRejectShortLogs) {
    satxyz2 xyz = positions({7}, {1.1});
    static const char kWithNul[] = "#SATVISA,a,b,c,d,2000,0;t,t,1,7,0,0,45\0,0";
    const std::vector<std::string> logs = {
        "",
        ";",
        ";;;;",
        "*",
        "#BESTPOSA",
        "#BESTPOSA,a,b,c,d,2000",            // no ";", short header
        "#BESTPOSA,a,b,c,d,2000;1,2,3",      // short header
        "#BESTPOSA,a,b,c,d,2000, ;1,2,3",    // seconds field of blanks
        "#BESTPOSA,a,b,c,d,2000,0;1,2,3,4",  // short body
        ",,,,,,;,,,,,,,,,,,,,,",
        std::string(1000, ','),
        std::string(kWithNul, sizeof(kWithNul) - 1),
    };
    for (const std::string& log : logs) {
        for (const char* name : {"#BESTPOSA", "#SATVISA", "#SATXYZ2A"}) {
            ReceiverLog first(name, log, 30.0);
            ReceiverLog second(name, log, xyz, 30.0);
            (void)first;
            (void)second;
        }
    }
    ReceiverLog shortBody("#BESTPOSA", "#BESTPOSA,a,b,c,d,2000,0;1,2,3,4,5,6,7,8,9", 30.0);
    expectEmpty(shortBody);
    ReceiverLog shortHeader("#SATXYZ2A", "#SATXYZ2A,a,b,c,2000,0;1,s,9,x,y,z,c,i,2.1", 30.0);
    expectEmpty(shortHeader);
}

TEST(Malformed, NonNumericFields) {
    // Fields that do not convert give 0; a field that converts in part
    // leaves nothing behind for the next one.
    ReceiverLog b("#BESTPOSA", "#BESTPOSA,a,b,c,d,week,secs;e,f,12abc,x,-7.5,g,h,1e999,nan,2",
                  30.0);
    EXPECT_EQ(b.bestposData.datatime, "1980-01-06 00:00:00");
    EXPECT_DOUBLE_EQ(b.bestposData.position[0], 12.0);
    EXPECT_DOUBLE_EQ(b.bestposData.position[1], 0.0);
    EXPECT_DOUBLE_EQ(b.bestposData.position[2], -7.5);
    EXPECT_DOUBLE_EQ(b.bestposData.positionErr[2], 2.0);

    ReceiverLog x("#SATXYZ2A",
                  "#SATXYZ2A,a,b,c,d,2000,0;n,s,+1,x,y,z,c,i,t,r,r,s,99999999999-1,x,y,z,c,i,2,r",
                  30.0);
    EXPECT_EQ(x.satxyz2Data.N_Sat, 0);
    ASSERT_EQ(x.satxyz2Data.PRN_xyz.size(), 2u);
    EXPECT_EQ(x.satxyz2Data.PRN_xyz[0], 37);  // nothing before the sign
    EXPECT_EQ(x.satxyz2Data.TD, (std::vector<double>{0.0, 2.0}));

    satvis v = joined(satvisLog({{"abc", "45"}, {"7", "high"}, {"7", "45x"}}),
                      positions({0, 7}, {1.0, 1.1}));
    EXPECT_EQ(v.PRN_vis, (std::vector<int32_t>{0, 7}));
    EXPECT_EQ(v.Elevation, (std::vector<double>{45.0, 45.0}));
}

TEST(Satvis2, PrintedTexts) {
    StdoutCapture capture;
    ReceiverLog parser("#SATVISA", satvisLog({{"40", "-35"}, {"12", "20"}}), 30.0);
    std::string out = capture.text();
    const std::string expected =
        "\n parseSatvis2 ...\n\n"
        "\n parser.datatime = 2018-05-06 00:01:00\n"
        "\n parser.N_Sat_vis = 2\n"
        " E1 \n"
        " E2 tempPRN = 40\n"
        " E2 dataSATVIS = -35\n"
        " E3 tempElevation = -35\n"
        " E4\n"
        " E5 \n"
        "Elevation = 145\n"
        "PRN_vis = 40\n"
        " E6 \n"
        " E1 \n"
        " E2 tempPRN = 12\n"
        " E2 dataSATVIS = 20\n"
        " E3 tempElevation = 20\n"
        " E4\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(parser.satvisData.PRN_vis, (std::vector<int32_t>{40}));

    // The joining parser prints nothing; a rejected log prints only the
    // opening line.
    StdoutCapture quiet;
    ReceiverLog j("#SATVISA", satvisLog({{"40", "45"}}), positions({40}, {2.5}), 30.0);
    ReceiverLog r("#SATVISA", "#SATVISA;", 30.0);
    EXPECT_EQ(quiet.text(), "\n parseSatvis2 ...\n\n");
}

}  // namespace
