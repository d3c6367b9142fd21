#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>

#include "IPWV_Models.h"
#include "IPWV_ModelsInternal.h"

using ipwv_internal::niellRetrieve;

namespace {

const double MISSING = 666666.0;
const char* const DATE = "2015-06-15 12:00:00";  // day of year 165.5

// The worked example's weather (1013 hPa, 20 degrees C, 60 %) at a position.
ipwv_internal::NiellRetrieval at(double lat, double el, double h = 100) {
    return niellRetrieve(DATE, h, lat, el, 1013, 293.15, 60);
}

// Nine-argument retrieval {IPWV, error}; the array is released here.
using Pair = std::array<double, 2>;
Pair rt9(double lat, double el, double latErr = 0, double hErr = 0, const char* date = DATE,
         double h = 100, double t = 293.15) {
    double* r = niellRT(date, h, lat, el, 1013, t, 60, latErr, hErr);
    Pair out{r[0], r[1]};
    delete[] r;
    return out;
}

// Each value printed with as many decimals as its expected text has
// equals that text.
void expectRounded(const char* what, std::initializer_list<double> values,
                   const std::string& expected) {
    std::istringstream words(expected);
    std::string word, out;
    for (double v : values) {
        if (!(words >> word)) word = "?";
        const auto dot = word.find('.');
        const int decimals = dot == std::string::npos ? 0 : int(word.size() - dot - 1);
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, v);
        out += (out.empty() ? "" : " ") + std::string(text);
    }
    EXPECT_EQ(out, expected) << what;
}

TEST(Models, WorkedExamples) {
    const double pos40[3] = {0.6981317, 0, 100};
    const double wet45[3] = {0.00058118019, 0.0014572752, 0.043908931};
    const double m0 = M_d_Niell(30, 0.0012465397, 0.0029288445, 0.063721774, 0, A_ht);
    const double m1 = M_d_Niell(30, 0.0012465397, 0.0029288445, 0.063721774, 1, A_ht);
    expectRounded("building blocks",
                  {zhd_computing(pos40, 1013), M_w_Niell(30, wet45), m0, m1 - m0,
                   TM_computing(293.15), K_computing(281.268)},
                  "2.30743 1.99654 1.99265 0.000148 281.268 15.9709");

    const auto r = at(40, 30), z = at(40, 90), s = at(-40, 30);
    expectRounded("retrieval", {r.Doy, r.ZHD, r.e, r.ZTD, r.TD, r.M_w, r.M_d, r.ZWD, r.K, r.IPWV},
                  "165.5 2.30743 14.1188 2.44552 4.89103 1.99657 1.99253 0.14696 15.9709 2.3470");
    expectRounded("IPWV at 90, -40, 10",
                  {z.IPWV, s.IPWV, s.Dmin, niellRT(DATE, 100, 10, 30, 1013, 293.15, 60)},
                  "2.2054 2.3437 211 2.2727");
    const auto s0 = niellRetrieve(DATE, 0, 40, 30, MISSING, MISSING, MISSING);
    const auto s1 = niellRetrieve(DATE, 1000, 40, 30, MISSING, MISSING, MISSING);
    expectRounded("standard atmosphere",
                  {s0.Pressure, s0.Temperature, s0.RH, s1.Pressure, s1.Temperature, s1.RH},
                  "1013.250000000 291.150000000 50.000000000 899.158 284.650000000 26.4465");
    double slant1 = 0, slant05 = 0;
    troposphericDelay(&slant1, 1, 0, 1013.25, 288.15, 50, 0, 0, 0);
    troposphericDelay(&slant05, 0.5, 0, 1013.25, 288.15, 50, 0, 0, 0);
    expectRounded("slant delays", {slant1, slant05}, "2.39273 4.77014");

    const double zero[3] = {0, 0, 0};
    const double Err_ZHD = Err_ZHD_computing(r.position, 1013, 0.25, 0, 0);
    const double Err_e = Err_e_computing(60, 293.15, 1.0, 0.2);
    const double Err_ZTD = Err_ZTD_computing(1013, 293.15, r.e, 0.25, 0.2, Err_e);
    const double Err_TD = Err_TD_computing(r.ZTD, 30, Err_ZTD, 0.0002);
    const double Err_M_w = Err_M_w_Computing(30, r.a_w, 0.0002, zero);
    const double Err_M_d =
        Err_M_d_Computing(30, 0.0002, r.A_d, r.B_d, r.C_d, 0, 0, 0, 0.1, 0, A_ht);
    const double Err_ZWD =
        Err_ZWD_Computing(r.TD, r.ZHD, Err_ZHD, Err_TD, r.M_w, r.M_d, Err_M_w, Err_M_d);
    const Pair p = rt9(40, 30), q = rt9(40, 90);
    expectRounded("uncertainties",
                  {Err_ZHD, Err_e, Err_ZTD, Err_TD, Err_M_w, Err_M_d, Err_ZWD,
                   Err_K_computing(r.TM, 0.144), p[0], p[1], q[0], q[1]},
                  "0.0005695 0.29336 0.0029497 0.0058994 0.000012016 0.000016752 0.0030090 0.12845 "
                  "2.34701 0.05163 2.20541 0.05115");

    EXPECT_EQ(niellRT(DATE, 100, 40, 30, 1013, 293.15, 60), r.IPWV);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.a_d_avg[i], r.a_d_avg[i]);
    // At the zenith the mappings are exactly 1 and the elevation terms
    // vanish up to cos(90 deg) rounding.
    EXPECT_EQ(z.M_w, 1.0);
    EXPECT_EQ(z.M_d, 1.0);
    EXPECT_EQ(z.TD, z.ZTD);
    EXPECT_EQ(Err_TD_computing(z.ZTD, 90, Err_ZTD, 0.0002), Err_ZTD);
    EXPECT_LT(Err_M_w_Computing(90, z.a_w, 0.0002, zero), 1e-20);
    EXPECT_LT(Err_M_d_Computing(90, 0.0002, z.A_d, z.B_d, z.C_d, 0, 0, 0, 0.1, 0, A_ht), 1e-20);
    // Each missing weather reading is replaced on its own.
    const auto s2 = niellRetrieve(DATE, 1000, 40, 30, 900, MISSING, 70);
    expectRounded("one reading missing", {s2.Pressure, s2.Temperature, s2.RH},
                  "900.000000000 284.650000000 70.000000000");
    // A negative sine is clamped to the horizon.
    double horizon = 0, below = 0;
    troposphericDelay(&horizon, 0, 0, 1013.25, 288.15, 50, 0, 0, 0);
    troposphericDelay(&below, -0.3, 0, 1013.25, 288.15, 50, 0, 0, 0);
    EXPECT_EQ(below, horizon);
    EXPECT_GT(horizon, slant05);
}

TEST(Models, MappingFunctionProperties) {
    const double sets[][3] = {
        {0.0012769934, 0.0029153695, 0.062610505}, {2.53e-05, 0.00549, 0.00114}, {0.3, 0.7, 1.9}};
    for (const auto& c : sets) {
        EXPECT_EQ(M_w_Niell(90, c), 1.0);
        for (double h : {0.0, 0.1, 2.5, 8.8})
            EXPECT_EQ(M_d_Niell(90, c[0], c[1], c[2], h, A_ht), 1.0);
        for (double el : {5.0, 12.5, 30.0, 61.0, 89.0})
            EXPECT_EQ(M_d_Niell(el, c[0], c[1], c[2], 0, A_ht), M_w_Niell(el, c)) << el;
    }
}

TEST(Models, NiellCoefficientsFollowTheTable) {
    // The reference latitudes reproduce their columns; outside 15..75
    // degrees the end columns hold with slope 0, so the coefficient
    // uncertainties are 0 there; at 0 and 90 degrees (sin(2 lat) = 0) the
    // latitude uncertainty adds nothing at all.
    for (double lat : {15.0, 30.0, 45.0, 60.0, 75.0, 0.0, 10.0, 14.999, -14.999, 75.001, 80.0,
                       -89.0, 90.0, -90.0}) {
        SCOPED_TRACE(lat);
        const bool inside = std::fabs(lat) >= 15 && std::fabs(lat) <= 75;
        const int col = std::fabs(lat) < 15 ? 0 : std::min(4, int(std::fabs(lat) / 15) - 1);
        const auto r = at(lat, 30);
        const double* values[3] = {r.a_d_avg, r.a_d_amp, r.a_w};
        const double* slopes[3] = {r.C2_avg, r.C2_amp, r.C2_w};
        for (int row = 0; row < 9; ++row) {
            EXPECT_NEAR(values[row / 3][row % 3], coef[row][col], inside ? 1e-15 : 0) << row;
            EXPECT_TRUE(inside || slopes[row / 3][row % 3] == 0.0) << row;
        }
    }
    for (double lat : {0.0, 90.0, -90.0}) EXPECT_EQ(rt9(lat, 30)[1], rt9(lat, 30, 2.5)[1]) << lat;
    // Inside the table the coefficient uncertainties count.
    const auto r = at(40, 30);
    const double zero[3] = {0, 0, 0};
    const double Err_a_w[3] = {r.C2_w[0] * 2.5, r.C2_w[1] * 2.5, r.C2_w[2] * 2.5};
    EXPECT_GT(Err_M_w_Computing(30, r.a_w, 0.0002, Err_a_w),
              Err_M_w_Computing(30, r.a_w, 0.0002, zero));
}

TEST(Models, UncertaintyTermsVanishWithoutInputUncertainty) {
    // Err_L and Err_H are 0 without latitude and height uncertainty.
    const double position[3] = {0.7, 0, 1500};
    EXPECT_EQ(Err_ZHD_computing(position, 1013, 0, 0, 0), 0.0);
    const double base = Err_ZHD_computing(position, 1013, 0.25, 0, 0);
    EXPECT_GT(Err_ZHD_computing(position, 1013, 0.25, 10, 0), base);
    EXPECT_GT(Err_ZHD_computing(position, 1013, 0.25, 0, 0.01), base);
    // Err_dm_d is 0 without height uncertainty, whatever the height.
    const double m = Err_M_d_Computing(30, 0.0002, 0.00125, 0.0029, 0.063, 0, 0, 0, 0, 0, A_ht);
    EXPECT_EQ(Err_M_d_Computing(30, 0.0002, 0.00125, 0.0029, 0.063, 0, 0, 0, 3.2, 0, A_ht), m);
    EXPECT_GT(Err_M_d_Computing(30, 0.0002, 0.00125, 0.0029, 0.063, 0, 0, 0, 0, 0.01, A_ht), m);
    EXPECT_GT(rt9(40, 30, 0, 20)[1], rt9(40, 30)[1]);
}

// Both forms agree bit for bit; a missing height, latitude or elevation
// gives -9.99 (twice from the nine-argument form).
TEST(Models, BothFormsGiveTheSameIpwv) {
    for (const char* date : {"2015-01-01 00:00:00", DATE, "2016-12-31 23:59:00", "garbage"})
        for (double h : {-50.0, 0.0, 350.0, 2400.0, MISSING})
            for (double lat : {-80.0, -45.0, -12.0, 0.0, 15.0, 33.3, 60.0, 75.0, 88.0, MISSING})
                for (double el : {5.0, 30.0, 47.7, 90.0, MISSING})
                    for (double t : {263.15, 303.15, MISSING}) {
                        const double one = niellRT(date, h, lat, el, 1013, t, 60);
                        const Pair nine = rt9(lat, el, 0.3, 4, date, h, t);
                        ASSERT_EQ(std::memcmp(&one, &nine[0], sizeof one), 0)
                            << date << " " << h << " " << lat << " " << el << " " << t;
                        EXPECT_TRUE(std::isfinite(nine[1]));
                        EXPECT_EQ(one == -9.99 && nine[1] == -9.99,
                                  h == MISSING || lat == MISSING || el == MISSING);
                    }
}

}  // namespace
