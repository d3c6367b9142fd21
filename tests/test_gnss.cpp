#include <gtest/gtest.h>

#include <string>

#include "gnssFunctions.h"

namespace {

TEST(GnssHelpers, TimeTextsAndSplitting) {
    EXPECT_EQ(GpsTime2DateTime(2000, 0.0), "2018-05-06 00:00:00");
    EXPECT_EQ(GpsTime2DateTime(1980, 345600.0), "2017-12-21 00:00:00");
    EXPECT_EQ(GpsTime2DateTime(2000, 59.999), "2018-05-06 00:00:59");  // never rounded up
    EXPECT_EQ(GpsTime2DateTime(3551, 0.0).substr(0, 4), "2048");       // no 32-bit overflow
    EXPECT_NEAR(DateTime2Doy("2018-05-06 12:30:00"), 125 + 0.5 + 30.0 / 1440, 1e-12);
    EXPECT_DOUBLE_EQ(DateTime2Doy("2018-01-01 00:00:59"), 0.0);
    EXPECT_EQ(splitData(";,", ";a;b,,c;"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(GnssHelpers, LogChecksumIsTheReflectedCrc32) {
    EXPECT_EQ(logChecksum("123456789"), 0xCBF43926u);  // the CRC-32 check value
    // Every byte value counts, a NUL and bytes above 127 included.
    const char bytes[] = {'a', '\0', '\xff', '\x80'};
    EXPECT_EQ(logChecksum(bytes, sizeof bytes), 0xDC423128u);
}

// The row of the specified gps table (the tropospheric delay row is
// checked end to end, against the simulator's rows).
TEST(Storage, GpsRowStatement) {
    EXPECT_EQ(std::string(format_GpsQuery("2018-05-06 00:00:00", -45.5, 7.25, 80.5, 1.5, 1.25, 3.0,
                                          47.126)),
              "INSERT INTO gps (latitude, longitude, height, latitudeErr, longitudeErr, "
              "heightErr, elevation, data) VALUES (-45.500000000000, 7.250000000000, 80.50000, "
              "1.50000, 1.25000, 3.00000, 47.13, '2018-05-06 00:00:00');");
}

}  // namespace
