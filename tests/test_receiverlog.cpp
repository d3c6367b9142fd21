#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ReceiverLog.h"
#include "TestSupport.h"

using testsupport::StdoutCapture;
using Ints = std::vector<int32_t>;
using Doubles = std::vector<double>;

namespace {

const char* kBestpos = "#BESTPOSA,a,b,c,d,2000,0.000;e,f,45.5,7.25,80.5,g,h,1.5,1.25,3.0";
const char* kSatxyz2 =
    "#SATXYZ2A,a,b,c,d,2000,0.000;2,s,3+2,x,y,z,c,i,2.5,r,r,s,12,x,y,z,c,i,2.3,r,r";

// A #SATVISA log at week 2000, 60 s; `sats` is "prn/elevation prn/elevation ...".
std::string vis(const std::string& sats) {
    std::istringstream in(sats);
    std::string records;
    int n = 0;
    for (std::string s; in >> s; ++n) {
        records += "," + s.substr(0, s.find('/')) + ",0,0," + s.substr(s.find('/') + 1) + ",0,0,0";
    }
    return "#SATVISA,a,b,c,d,2000,60.0;t,t," + std::to_string(n) + records;
}

satxyz2 xyz(Ints prn, Doubles td) {
    return satxyz2{"2018-05-06 00:00:00", static_cast<int32_t>(prn.size()), prn, td};
}

// Visibility parsed alone; its progress printing is swallowed.
satvis alone(const std::string& log) {
    StdoutCapture capture;
    return ReceiverLog("#SATVISA", log, 30.0).satvisData;
}

bool isEmpty(const ReceiverLog& p) {
    return p.bestposData.datatime.empty() && p.satvisData.datatime.empty() &&
           p.satvisData.PRN_vis.empty() && p.satxyz2Data.datatime.empty() &&
           p.satxyz2Data.PRN_xyz.empty();
}

TEST(Bestpos, FieldsTimesAndFraming) {
    const std::string body = ";e,f,1,2,3,g,h,4,5,6", t0 = "2018-05-06 00:00:00";
    const Doubles worked = {45.5, 7.25, 80.5, 1.5, 1.25, 3.0}, plain = {1, 2, 3, 4, 5, 6};
    // log, datatime, position and its errors
    const std::vector<std::tuple<std::string, std::string, Doubles>> cases = {
        {kBestpos, t0, worked},
        {"#BESTPOSA,a,b,c,d,0,0.000" + body, "1980-01-06 00:00:00", plain},
        {"#BESTPOSA,a,b,c,d,2000,0.5" + body, t0, plain},
        {"#BESTPOSA,a,b,c,d,1980,345600.0" + body, "2017-12-21 00:00:00", plain},
        // Checksum and line end of the previous log in front change nothing.
        {std::string("1a2b3c4d\r\n") + kBestpos, t0, worked},
        // The name given decides, whatever the text carries.
        {"#SATVISA,a,b,c,d,2000,0.000;e,f,45.5,7.25,80.5,g,h,1.5,1.25,3.0", t0, worked},
        // An empty field does not count: the later fields move forward.
        {"#BESTPOSA,a,b,c,d,2000,0;e,,45.5,7.25,80.5,g,h,1.5,1.25,3.0,z",
         t0,
         {7.25, 80.5, 0, 1.25, 3.0, 0}},
        // Non-numeric fields give 0; a part-numeric one leaves nothing behind.
        {"#BESTPOSA,a,b,c,d,week,secs;e,f,12abc,x,-7.5,g,h,nan,+,2",
         "1980-01-06 00:00:00",
         {12, 0, -7.5, 0, 0, 2}},
    };
    for (const auto& [log, datatime, values] : cases) {
        SCOPED_TRACE(log);
        ReceiverLog p("#BESTPOSA", log, 30.0);
        const bestpos& b = p.bestposData;
        EXPECT_EQ(b.datatime, datatime);
        Doubles got(b.position, b.position + 3);
        got.insert(got.end(), b.positionErr, b.positionErr + 3);
        EXPECT_EQ(got, values);
        EXPECT_TRUE(p.satvisData.datatime.empty() && p.satxyz2Data.datatime.empty());
    }
}

TEST(Satxyz2, RecordsIdentifiersAndCutBodies) {
    std::string glonass = "#SATXYZ2A,a,b,c,d,2000,0;4";
    for (const char* id : {"13-2", "5+1", "12", "3+1-2"})
        glonass += std::string(",G,") + id + ",x,y,z,c,i,1.5,r,r";
    const std::string head = "#SATXYZ2A,a,b,c,d,2000,0;";
    const int32_t maxInt = std::numeric_limits<int32_t>::max();
    const std::vector<std::tuple<std::string, int32_t, Ints, Doubles>> cases = {
        {kSatxyz2, 2, {40, 12}, {2.5, 2.3}},
        {glonass, 4, {50, 42, 12, 40}, {1.5, 1.5, 1.5, 1.5}},
        {head + "0", 0, {}, {}},
        {head + "7,s,9,x,y,z,c,i,2.1,r,r", 7, {9}, {2.1}},             // the count bounds nothing
        {head + "2,s,9,x,y,z,c,i,2.1,r,r,s,11,x", 2, {9, 11}, {2.1}},  // cut before a delay
        {head + "n,s,+1,x,y,z,c,i,t,r,r,s,99999999999-1,x,y,z,c,i,2,r", 0, {37, maxInt}, {0, 2}},
    };
    for (const auto& [log, count, prn, td] : cases) {
        SCOPED_TRACE(log);
        ReceiverLog p("#SATXYZ2A", log, 30.0);
        EXPECT_EQ(p.satxyz2Data.datatime, "2018-05-06 00:00:00");
        EXPECT_EQ(std::tie(p.satxyz2Data.N_Sat, p.satxyz2Data.PRN_xyz, p.satxyz2Data.TD),
                  std::tie(count, prn, td));
    }
}

TEST(Satvis, JoinCutOffLookUpsAndCutBodies) {
    const std::string cutOff = vis("1/30 2/29.5 3/-35 4/-20 5/150");
    const std::string cutVis = "#SATVISA,a,b,c,d,2000,60;t,t,2,7,0,0,45,0,0,0,9,0,0";
    const satxyz2 worked = ReceiverLog("#SATXYZ2A", kSatxyz2, 30.0).satxyz2Data;
    const satxyz2 five = xyz({1, 2, 3, 4, 5}, {2.1, 2.2, 2.3, 2.4, 2.5});
    // log, positions record, stated count, kept numbers, elevations, delays
    const std::vector<std::tuple<std::string, satxyz2, int32_t, Ints, Doubles, Doubles>> cases = {
        {vis("40/45.0 12/-20.0"), worked, 2, {40}, {45}, {2.5}},
        {cutOff, five, 5, {1, 3, 5}, {30, 35, 150}, {2.1, 2.3, 2.5}},
        // A duplicate takes its first delay; a missing satellite leaves no entry.
        {vis("7/40 8/50 9/-60"), xyz({7, 9, 7}, {1.1, 1.2, 1.3}), 3, {7, 9}, {40, 60}, {1.1, 1.2}},
        // Positions cut inside their last satellite: no delay, no entry.
        {vis("9/45 7/45"), xyz({7, 9}, {1.1}), 2, {7}, {45}, {1.1}},
        {vis("7/45"), satxyz2(), 1, {}, {}, {}},                 // no positions record yet
        {cutVis, xyz({7, 9}, {1.1, 1.2}), 2, {7}, {45}, {1.1}},  // 9 cut before its elevation
        {"#SATVISA,a,b,c,d,2000,60;t,t,0", worked, 0, {}, {}, {}},
        {vis("abc/45 7/high 7/45x"), xyz({0, 7}, {1.0, 1.1}), 3, {0, 7}, {45, 45}, {1.0, 1.1}},
    };
    for (const auto& [log, positions, count, prn, elevation, td] : cases) {
        SCOPED_TRACE(log);
        satvis v = ReceiverLog("#SATVISA", log, positions, 30.0).satvisData;
        EXPECT_EQ(v.datatime, "2018-05-06 00:01:00");
        EXPECT_EQ(std::tie(v.N_Sat_vis, v.PRN_vis, v.Elevation, v.TD),
                  std::tie(count, prn, elevation, td));
    }
    // Alone, a negative elevation becomes 180 minus its magnitude.
    satvis a = alone(cutOff);
    EXPECT_EQ(a.N_Sat_vis, 5);
    EXPECT_EQ(a.PRN_vis, (Ints{1, 3, 5}));
    EXPECT_EQ(a.Elevation, (Doubles{30, 145, 150}));
    EXPECT_TRUE(a.TD.empty());
    EXPECT_EQ(alone(cutVis).PRN_vis, Ints{7});
}

TEST(Malformed, RejectedOrIgnoredWithoutACrash) {
    const satxyz2 one = xyz({7}, {1.1});
    StdoutCapture quiet;
    // Bodies too short for the parser of their name (a second ";" ends a body).
    for (const auto& [name, log] : std::vector<std::pair<std::string, std::string>>{
             {"#BESTPOSA", "#BESTPOSA,a,b,c,d,2000,0;1,2,3,4,5,6,7,8,9"},
             {"#BESTPOSA", "#BESTPOSA,a,b,c,d,2000,0;e,f,45.5,7.25;80.5,g,h,1.5,1.25,3.0"},
             {"#SATVISA", "#SATVISA,a,b,c,d,2000,60;t,t"}}) {
        EXPECT_TRUE(isEmpty(ReceiverLog(name, log, 30.0))) << log;
        EXPECT_TRUE(isEmpty(ReceiverLog(name, log, one, 30.0))) << log;
    }
    // Every parser rejects a log without body or with a short header.
    const std::vector<std::string> noBody = {"",
                                             "#SATVISA,a,b,c,d,2000,60",
                                             "#BESTPOSA,a,b,c,d,2000;1,2,3",
                                             "#SATXYZ2A,a,b,c,2000,0;1,s,9,x,y,z,c,i,2.1",
                                             "#SATXYZ2A,a,b,c,d,2000,0;",
                                             "#SATXYZ2A,a,b,c,d,2000,0;,,,"};
    std::vector<std::string> logs = {
        ";",
        "*",
        "#BESTPOSA,a,b,c,d,2000, ;1,2,3",
        ",,,,,,;,,,,,,,,,,,,,,",
        kBestpos,
        kSatxyz2,
        "#BESTPOSA,a,b,c,d,2000,0;e,f,1e999,-1e999,1e-999,g,h,inf,0x1p3,9"};
    static const char kWithNul[] = "#SATVISA,a,b,c,d,2000,0;t,t,1,7,0,0,45\0,0";
    logs.emplace_back(kWithNul, sizeof(kWithNul) - 1);
    logs.emplace_back(1000, ',');
    logs.insert(logs.end(), noBody.begin(), noBody.end());
    // Names are matched exactly; the joining constructor knows "#SATVISA" only.
    for (const std::string& log : logs) {
        SCOPED_TRACE(log);
        bool rejected = std::find(noBody.begin(), noBody.end(), log) != noBody.end();
        for (const char* name : {"#BESTPOSA", "#SATXYZ2A", "#SATVISA"}) {
            ReceiverLog first(name, log, 30.0), second(name, log, one, 30.0);
            EXPECT_TRUE(!rejected || isEmpty(first)) << name;
            EXPECT_TRUE((!rejected && std::string(name) == "#SATVISA") || isEmpty(second)) << name;
        }
        for (const char* name :
             {"#bestposa", "#BESTPOSA ", "BESTPOSA", "#SATVIS", "", "#VERSIONA"}) {
            EXPECT_TRUE(isEmpty(ReceiverLog(name, log, 30.0)));
            EXPECT_TRUE(isEmpty(ReceiverLog(name, log, one, 30.0)));
        }
    }
}

TEST(Satvis2, PrintedTexts) {
    StdoutCapture capture;
    ReceiverLog parser("#SATVISA", vis("40/-35 12/20"), 30.0);
    EXPECT_EQ(capture.text(),
              "\n parseSatvis2 ...\n\n\n parser.datatime = 2018-05-06 00:01:00\n"
              "\n parser.N_Sat_vis = 2\n"
              " E1 \n E2 tempPRN = 40\n E2 dataSATVIS = -35\n E3 tempElevation = -35\n E4\n"
              " E5 \nElevation = 145\nPRN_vis = 40\n E6 \n"
              " E1 \n E2 tempPRN = 12\n E2 dataSATVIS = 20\n E3 tempElevation = 20\n E4\n");
    EXPECT_EQ(parser.satvisData.PRN_vis, Ints{40});

    // The joining parser prints nothing; a rejected log only the opening line.
    StdoutCapture quiet;
    ReceiverLog j("#SATVISA", vis("40/45"), xyz({40}, {2.5}), 30.0);
    ReceiverLog r("#SATVISA", "#SATVISA;", 30.0);
    EXPECT_EQ(quiet.text(), "\n parseSatvis2 ...\n\n");
}

}  // namespace
