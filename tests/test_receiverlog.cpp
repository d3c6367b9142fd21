#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ReceiverLog.h"
#include "ReceiverValues.h"
#include "TestSupport.h"

using Ints = std::vector<int32_t>;
using Doubles = std::vector<double>;

namespace {

const char* kBestpos = "#BESTPOSA,a,b,c,d,2000,0.000;e,f,45.5,7.25,80.5,g,h,1.5,1.25,3.0";
const char* kXyz = "#SATXYZ2A,a,b,c,d,2000,0;2,s,3+2,x,y,z,c,i,2.5,r,r,s,12,x,y,z,c,i,2.3,r,r";

const char* kMinute = "2018-05-06 00:01:00";

// A #SATVISA log at week 2000, 60 s, of satellites given as "prn/elevation".
std::string vis(const std::vector<std::string>& sats) {
    std::string log = "#SATVISA,a,b,c,d,2000,60.0;t,t," + std::to_string(sats.size());
    for (std::string s : sats) log += "," + s.replace(s.find('/'), 1, ",0,0,") + ",0,0,0";
    return log;
}

using Vis = std::tuple<std::string, int32_t, Ints, Doubles, Doubles>;
Vis whole(const ReceiverLog& p) {
    const satvis& v = p.satvisData;
    return Vis{v.datatime, v.N_Sat_vis, v.PRN_vis, v.Elevation, v.TD};
}

// Lists of equal length; with `empty`, nothing parsed at all.
bool sound(const ReceiverLog& p, bool empty) {
    const satvis& v = p.satvisData;
    return v.PRN_vis.size() == v.Elevation.size() &&
           (v.TD.empty() || v.TD.size() == v.PRN_vis.size()) &&
           (!empty || (whole(p) == Vis{} && p.bestposData.datatime.empty() &&
                       p.satxyz2Data.datatime.empty()));
}

TEST(ReceiverLog, WorkedLogsAndGlonassNumbers) {
    const bestpos b = ReceiverLog("#BESTPOSA", kBestpos, 30.0).bestposData;
    EXPECT_EQ(b.datatime, "2018-05-06 00:00:00");
    EXPECT_EQ(Doubles(b.position, b.position + 3), (Doubles{45.5, 7.25, 80.5}));
    EXPECT_EQ(Doubles(b.positionErr, b.positionErr + 3), (Doubles{1.5, 1.25, 3}));
    const satxyz2 x = ReceiverLog("#SATXYZ2A", kXyz, 30.0).satxyz2Data;
    EXPECT_EQ(whole(ReceiverLog("#SATVISA", vis({"40/45.0", "12/-20.0"}), x, 30.0)),
              (Vis{kMinute, 2, {40}, {45}, {2.5}}));
    std::string glonass = "#SATXYZ2A,a,b,c,d,2000,0;4";
    for (const char* id : {"13-2", "5+1", "12", "3+1-2"})
        glonass += std::string(",G,") + id + ",x,y,z,c,i,1.5,r,r";
    const satxyz2 g = ReceiverLog("#SATXYZ2A", glonass, 30.0).satxyz2Data;
    EXPECT_EQ(std::tie(g.datatime, g.N_Sat, g.PRN_xyz, g.TD),
              std::make_tuple("2018-05-06 00:00:00", 4, Ints{50, 42, 12, 40}, Doubles(4, 1.5)));
}

TEST(Bestpos, OnlyWhollyConvertedNumbersMakeAPosition) {
    // Week and seconds, then the six numbers: each must be one number and
    // all of it; otherwise the record stays empty.
    auto log = [](const std::vector<std::string>& f) {
        return "#BESTPOSA,a,b,c,d," + f[0] + "," + f[1] + ";e,f," + f[2] + "," + f[3] + "," + f[4] +
               ",g,h," + f[5] + "," + f[6] + "," + f[7];
    };
    const std::vector<std::string> good = {"2000", "0.000", "45.5", "7.25",
                                           "80.5", "1.5",   "1.25", "3.0"};
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (const std::string& bad :
             {good[i] + "x", good[i] + "e", good[i] + "-", good[i] + "..", std::string("1e999"),
              std::string("nan"), std::string("0x1p3"), std::string("4 5")}) {
            std::vector<std::string> fields = good;
            fields[i] = bad;
            const bestpos b = ReceiverLog("#BESTPOSA", log(fields), 30.0).bestposData;
            EXPECT_TRUE(b.datatime.empty() && b.position[0] == 0.0) << log(fields);
        }
    }
    const std::string nine = kBestpos;  // the height error missing
    EXPECT_TRUE(ReceiverLog("#BESTPOSA", nine.substr(0, nine.rfind(',')), 30.0)
                    .bestposData.datatime.empty());
    ReceiverLog parsed("#BESTPOSA", "#BESTPOSA,a,b,c,d,2000,60.5;e,f,-4.5e1,+7.25,80,g,h,1,2,3",
                       30.0);
    EXPECT_EQ(Doubles(parsed.bestposData.position, parsed.bestposData.position + 3),
              (Doubles{-45, 7.25, 80}));
    EXPECT_EQ(std::make_pair(parsed.gpsWeek(), parsed.gpsSeconds()), std::make_pair(2000, 60.5));
}

TEST(Satvis, CutOffDuplicatesAndMissingSatellites) {
    const std::string log = vis({"1/30", "2/29.5", "3/-35", "4/-20", "5/150"});
    testsupport::StdoutCapture quiet;
    // Joined, a negative elevation counts by its magnitude; alone, it becomes 180 minus that.
    EXPECT_EQ(
        whole(ReceiverLog("#SATVISA", log, satxyz2{"", 5, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}}, 30.0)),
        (Vis{kMinute, 5, {1, 3, 5}, {30, 35, 150}, {1, 3, 5}}));
    EXPECT_EQ(whole(ReceiverLog("#SATVISA", log, 30.0)),
              (Vis{kMinute, 5, {1, 3, 5}, {30, 145, 150}, {}}));
    // A duplicate takes its first delay; a missing satellite is dropped, the next still read.
    EXPECT_EQ(whole(ReceiverLog("#SATVISA", vis({"7/40", "8/50", "9/-60"}),
                                satxyz2{"", 3, {7, 9, 7}, {1, 2, 3}}, 30.0)),
              (Vis{kMinute, 3, {7, 9}, {40, 60}, {1, 2}}));
}

TEST(Malformed, NoCrashShortLogsRejectedListsAligned) {
    // Six logs too short for every parser, then odd ones that must not
    // crash (tests/receiverlog-malformed.txt), the last with a NUL byte.
    std::istringstream in(
        testsupport::readFile(testsupport::sourceDir() + "/tests/receiverlog-malformed.txt") +
        std::string("#SATVISA,a,b,c,d,2000,0;t,t,1,7,0,0,45\0,0", 41));
    const char* names[] = {"#BESTPOSA", "#SATXYZ2A", "#SATVISA", "#satvisa", "SATVISA", ""};
    testsupport::StdoutCapture quiet;
    int i = 0;
    for (std::string log; std::getline(in, log); ++i) {
        for (int n = 0; n < 6; ++n) {
            ReceiverLog alone(names[n], log, 30.0),
                joined(names[n], log, {"", 1, {7}, {1.1}}, 30.0);
            EXPECT_TRUE(sound(alone, i < 6 || n > 2)) << names[n] << " " << log;
            EXPECT_TRUE(sound(joined, i < 6 || n != 2)) << names[n] << " " << log;
        }
    }
    EXPECT_EQ(i, 18);  // every log of the file read
}

}  // namespace

// Each bound of what a receiver can report: its ends kept, a step beyond
// either refused (a step inside kept); NaN and infinities are never values.
TEST(ReceiverValues, EveryBoundHoldsAtItsEndsAndRefusesJustBeyond) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // Which value: 0-2 latitude, longitude, height; 3-5 their errors;
    // 6-8 a satellite's number, elevation and delay.
    const struct {
        int value;
        double lowest, highest, step;
    } bounds[] = {{0, -90, 90, 1e-9},  {1, -180, 180, 1e-9}, {2, -1000, 18000, 1e-6},
                  {3, 0, 10000, 1e-6}, {4, 0, 10000, 1e-6},  {5, 0, 10000, 1e-6},
                  {6, 1, 999, 1},      {7, -90, 90, 1e-9},   {8, 0, 100, 1e-9}};
    const auto accepted = [](int which, double v) {
        double values[9] = {45, 7, 100, 1, 1, 1, 5, 45, 2.4};
        values[which] = v;
        const double err[3] = {values[3], values[4], values[5]};
        return receiver::positionProblem(values, err) == nullptr &&
               receiver::satelliteProblem(static_cast<int32_t>(values[6]), values[7], values[8]) ==
                   nullptr;
    };
    for (const auto& b : bounds) {
        SCOPED_TRACE(b.value);
        for (double d : {0.0, b.step, -b.step})  // inside when d >= 0
            EXPECT_EQ(std::pair(accepted(b.value, b.lowest + d), accepted(b.value, b.highest - d)),
                      std::pair(d >= 0, d >= 0))
                << d;
        if (b.value == 6) continue;  // a whole number
        for (double v : {nan, inf, -inf}) EXPECT_FALSE(accepted(b.value, v)) << v;
    }
}
