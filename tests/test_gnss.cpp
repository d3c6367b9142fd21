#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Database.h"
#include "TestSupport.h"
#include "gnssFunctions.h"

using namespace testsupport;

namespace {

TEST(GpsTime, DateTimeTextOfWeekAndSeconds) {
    EXPECT_EQ(GpsTime2DateTime(2000, 0.0), "2018-05-06 00:00:00");
    EXPECT_EQ(GpsTime2DateTime(0, 0.0), "1980-01-06 00:00:00");
    EXPECT_EQ(GpsTime2DateTime(1980, 345600.0), "2017-12-21 00:00:00");
    // Whole seconds only: fractions are dropped, never rounded up.
    EXPECT_EQ(GpsTime2DateTime(2000, 59.999), "2018-05-06 00:00:59");
    EXPECT_EQ(GpsTime2DateTime(2000, 0.5), "2018-05-06 00:00:00");
    // Weeks past the range of a 32-bit product still give a date.
    EXPECT_EQ(GpsTime2DateTime(3551, 0.0).substr(0, 4), "2048");
}

TEST(GpsTime, DayOfYear) {
    EXPECT_NEAR(DateTime2Doy("2018-05-06 12:30:00"), 125 + 0.5 + 30.0 / 1440, 1e-12);
    EXPECT_DOUBLE_EQ(DateTime2Doy("2018-01-01 00:00:59"), 0.0);
    EXPECT_NEAR(DateTime2Doy("2016-12-31 23:59:00"), 365 + 23 / 24.0 + 59 / 1440.0, 1e-12);
    // A text that does not match gives a defined, finite result.
    double garbage = DateTime2Doy("not a date");
    EXPECT_TRUE(std::isfinite(garbage));
    EXPECT_EQ(garbage, DateTime2Doy("not a date"));
    EXPECT_DOUBLE_EQ(DateTime2Doy(""), 0.0);
}

TEST(SplitData, PiecesWithoutEmptyOnes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitData(",", "a,,b,"), (V{"a", "b"}));
    EXPECT_EQ(splitData("*", "*"), V{});
    EXPECT_EQ(splitData(",", ""), V{});
    EXPECT_EQ(splitData(" ", "2000 0.000"), (V{"2000", "0.000"}));
    EXPECT_EQ(splitData(";,", ";a;b,,c;"), (V{"a", "b", "c"}));
    std::string line = "x,y";
    splitData(",", line);
    EXPECT_EQ(line, "x,y");
}

TEST(StatementBuilders, TroposphericDelayAndGpsTemplates) {
    std::string q = format_troposphericDelayQuery("2018-05-06 00:00:00", 45.5, 7.25, 80.5, 1.5,
                                                  1.25, 3.0, 12, 30.0, 2.25);
    EXPECT_EQ(q,
              "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
              "longitudeErr, heightErr, prn, elevation, td, data) VALUES (45.500000000000, "
              "7.250000000000, 80.50000, 1.50000, 1.25000, 3.00000, 12, 30.00000, 2.25, "
              "'2018-05-06 00:00:00');");
    std::string g =
        format_GpsQuery("2018-05-06 00:00:00", -45.5, 7.25, 80.5, 1.5, 1.25, 3.0, 47.126);
    EXPECT_EQ(g,
              "INSERT INTO gps (latitude, longitude, height, latitudeErr, longitudeErr, "
              "heightErr, elevation, data) VALUES (-45.500000000000, 7.250000000000, 80.50000, "
              "1.50000, 1.25000, 3.00000, 47.13, '2018-05-06 00:00:00');");
    // Each builder has its own buffer, overwritten by its next call.
    char* first = format_troposphericDelayQuery("a", 0, 0, 0, 0, 0, 0, 1, 0, 0);
    char* second = format_troposphericDelayQuery("b", 0, 0, 0, 0, 0, 0, 2, 0, 0);
    EXPECT_EQ(first, second);
    EXPECT_NE(std::string(second).find("'b'"), std::string::npos);
}

TEST(Printers, SatvisRecord) {
    satvis rec;
    rec.datatime = "2018-05-06 00:01:00";
    rec.N_Sat_vis = 3;
    rec.PRN_vis = {40, 12, 7};
    rec.Elevation = {45.0, 33.25, 80.5};
    rec.TD = {2.5, 2.3, 2.1};
    StdoutCapture out;
    printLogSatvis(rec);
    EXPECT_EQ(out.text(),
              "\n /------ SATVIS log ------/\n\n"
              " timeSATVIS = 2018-05-06 00:01:00\n"
              " N_Sat_vis = 3\n"
              "\nNumber of Satellite = 3\n"
              "\tPRN_vis [0] = 40\tElevation [0] = 45\tTD [0] = 2.5\n"
              "\tPRN_vis [1] = 12\tElevation [1] = 33.25\tTD [1] = 2.3\n"
              "\tPRN_vis [2] = 7\tElevation [2] = 80.5\tTD [2] = 2.1\n"
              "\n ------ ------ ------ ------ ------ ------ \n\n");
}

TEST(Printers, SatvisUnequalListsAndMissingDelays) {
    satvis rec;
    rec.PRN_vis = {1, 2};
    rec.Elevation = {31, 32, 33};
    {
        StdoutCapture out;
        printLogSatvis(rec);
        std::string text = out.text();
        EXPECT_NE(text.find("\n Vectors PRN_vis and Elevation DO NOT HAVE the same size!!! \n"),
                  std::string::npos);
        EXPECT_NE(text.find(" PRN_vis size = 2\n Elevation size = 3\n TD size = 0\n"),
                  std::string::npos);
        EXPECT_EQ(text.find("Number of Satellite"), std::string::npos);
    }
    // A record without delays (the non-joining parser) prints no delay.
    rec.Elevation = {31, 32};
    StdoutCapture out;
    printLogSatvis(rec);
    std::string text = out.text();
    EXPECT_NE(text.find("\tPRN_vis [1] = 2\tElevation [1] = 32\n"), std::string::npos);
    EXPECT_EQ(text.find("TD ["), std::string::npos);
}

TEST(Printers, Satxyz2Record) {
    satxyz2 rec;
    rec.datatime = "2018-05-06 00:00:00";
    rec.N_Sat = 2;
    rec.PRN_xyz = {40, 12};
    rec.TD = {2.5, 2.3};
    {
        StdoutCapture out;
        printLogSatxyz2(rec);
        EXPECT_EQ(out.text(),
                  "\n /------ SATXYZ2 log ------/\n\n"
                  " timeSATXYZ2 = 2018-05-06 00:00:00\n"
                  " N_Sat = 2\n"
                  "\nNumber of Satellite = 2\n"
                  "\tPRN_xyz [0] = 40\tTD [0] = 2.5\n"
                  "\tPRN_xyz [1] = 12\tTD [1] = 2.3\n"
                  "\n ------ ------ ------ ------ ------ ------ \n\n");
    }
    rec.TD.pop_back();
    StdoutCapture out;
    printLogSatxyz2(rec);
    EXPECT_NE(out.text().find("\n Vectors PRN_xyz and TD DO NOT HAVE the same size!!! \n"
                              " PRN_xyz size = 2\n TD size = 1\n"),
              std::string::npos);
}

TEST(Printers, IpwvReportLeavesOutK) {
    StdoutCapture out;
    printIPWV(2.347, 0.14696, 2.30743, 2.44552, 15.9709, 1013, 293.15, 60);
    EXPECT_EQ(out.text(),
              "\n\t ZTD = 2.44552\t ZHD = 2.30743\t ZWD = 0.14696"
              "\n\t Pressure = 1013\t Temperature = 293.15\t RH = 60"
              "\n\t IPWV = 2.347\n"
              "\n\t ------\n\n\n"
              "\n ------ ------ ------ ------ ------ ------ \n\n");
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

TEST_F(StorageTest, TroposphericDelayRowReadsBack) {
    Database db;
    ASSERT_EQ(db.openConnection("localhost", "UlmetDB", "root", "kzqvwp"), 200);
    ASSERT_FALSE(db.updateQuery(format_troposphericDelayQuery(
        "2018-05-06 00:00:00", 45.5, 7.25, 80.5, 1.5, 1.25, 3.0, 12, 30.0, 2.25)));
    db.disconnect();
    auto rows = sql::rows(
        "SELECT latitude, longitude, height, latitudeErr, longitudeErr, heightErr, prn, "
        "elevation, td, data FROM troposphericDelay");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (sql::Row{"45.5", "7.25", "80.5", "1.5", "1.25", "3", "12", "30", "2.25",
                                 "2018-05-06 00:00:00"}));
}

TEST_F(StorageTest, InsertIpwvStoresFiveDecimalsAndReportsFailure) {
    {
        StdoutCapture out;
        insertIpwvDB(1.5, "2018-05-06 00:00:00");
        EXPECT_EQ(out.text(), "Successful query. IPWV value correctly stored.\n");
    }
    EXPECT_EQ(sql::scalar("SELECT CONCAT(FORMAT(ipwv_value, 5), '|', data) FROM ipwv"),
              "1.50000|2018-05-06 00:00:00");

    sql::exec("DROP TABLE ipwv");
    StdoutCapture out;
    insertIpwvDB(1.5, "2018-05-06 00:01:00");
    EXPECT_EQ(out.text(),
              "\nQuery Failed\n"
              "queryString : INSERT INTO ipwv (ipwv_value, data) VALUES (1.50000, "
              "'2018-05-06 00:01:00');\n\n");
}

}  // namespace
