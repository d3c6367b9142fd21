#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "IPWV_Models.h"
#include "IPWV_ModelsInternal.h"

using ipwv_internal::niellRetrieve;

namespace {

const double MISSING = 666666.0;
const char* const DATE = "2015-06-15 12:00:00";  // day of year 165.5

// Nine-argument retrieval as a value pair; the array is released here.
struct Pair {
    double ipwv, err;
};
Pair niellRT9(const std::string& date, double h, double lat, double el, double p, double t,
              double rh, double latErr, double hErr) {
    double* r = niellRT(date, h, lat, el, p, t, rh, latErr, hErr);
    Pair out{r[0], r[1]};
    delete[] r;
    return out;
}

TEST(Models, BuildingBlocksWorkedValues) {
    const double position[3] = {0.6981317, 0, 100};
    EXPECT_NEAR(zhd_computing(position, 1013), 2.30743, 5e-6);

    const double wet45[3] = {0.00058118019, 0.0014572752, 0.043908931};
    EXPECT_NEAR(M_w_Niell(30, wet45), 1.99654, 5e-6);
    const double m0 = M_d_Niell(30, 0.0012465397, 0.0029288445, 0.063721774, 0, A_ht);
    EXPECT_NEAR(m0, 1.99265, 5e-6);
    EXPECT_NEAR(M_d_Niell(30, 0.0012465397, 0.0029288445, 0.063721774, 1, A_ht) - m0, 0.000148,
                5e-7);

    EXPECT_NEAR(TM_computing(293.15), 281.268, 5e-4);
    EXPECT_NEAR(K_computing(281.268), 15.9709, 5e-5);
    EXPECT_EQ(K_computing(0), 0.0);
}

TEST(Models, MappingFunctionProperties) {
    const double sets[][3] = {{0.0012769934, 0.0029153695, 0.062610505},
                              {0.00061641693, 0.0017599082, 0.054736038},
                              {2.53e-05, 0.00549, 0.00114},
                              {0.3, 0.7, 1.9}};
    for (const auto& c : sets) {
        // The fraction is normalised to 1 at the zenith; the height term
        // vanishes there for any height.
        EXPECT_EQ(M_w_Niell(90, c), 1.0);
        for (double h : {0.0, 0.1, 2.5, 8.8})
            EXPECT_EQ(M_d_Niell(90, c[0], c[1], c[2], h, A_ht), 1.0);
        // At height 0 the hydrostatic function is the bare fraction, the
        // same that the wet function evaluates.
        for (double el : {5.0, 12.5, 30.0, 61.0, 89.0})
            EXPECT_EQ(M_d_Niell(el, c[0], c[1], c[2], 0, A_ht), M_w_Niell(el, c)) << el;
    }
    // The height correction is positive and grows towards low elevations.
    const double* c = sets[0];
    double previous = 0;
    for (double el : {80.0, 60.0, 30.0, 10.0, 5.0}) {
        const double dm = M_d_Niell(el, c[0], c[1], c[2], 1, A_ht) - M_w_Niell(el, c);
        EXPECT_GT(dm, previous) << el;
        previous = dm;
    }
    // At elevation 0 only the height term blows up.
    EXPECT_TRUE(std::isfinite(M_w_Niell(0, c)));
    EXPECT_EQ(M_d_Niell(0, c[0], c[1], c[2], 0.1, A_ht), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(M_d_Niell(0, c[0], c[1], c[2], 0, A_ht)));
}

TEST(Models, RetrievalWorkedExample) {
    const auto r = niellRetrieve(DATE, 100, 40, 30, 1013, 293.15, 60);
    ASSERT_TRUE(r.valid);
    EXPECT_DOUBLE_EQ(r.Doy, 165.5);
    EXPECT_EQ(r.l, 1);
    EXPECT_EQ(r.Dmin, 28);
    EXPECT_NEAR(r.ZHD, 2.30743, 5e-6);
    EXPECT_NEAR(r.e, 14.1188, 5e-5);
    EXPECT_NEAR(r.ZTD, 2.44552, 5e-6);
    EXPECT_NEAR(r.TD, 4.89103, 5e-6);
    EXPECT_NEAR(r.M_w, 1.99657, 5e-6);
    EXPECT_NEAR(r.M_d, 1.99253, 5e-6);
    EXPECT_NEAR(r.ZWD, 0.14696, 5e-6);
    EXPECT_NEAR(r.K, 15.9709, 5e-5);
    EXPECT_NEAR(r.IPWV, 2.3470, 5e-5);
    EXPECT_EQ(niellRT(DATE, 100, 40, 30, 1013, 293.15, 60), r.IPWV);

    const auto z = niellRetrieve(DATE, 100, 40, 90, 1013, 293.15, 60);
    EXPECT_EQ(z.M_w, 1.0);
    EXPECT_EQ(z.M_d, 1.0);
    EXPECT_EQ(z.TD, z.ZTD);
    EXPECT_NEAR(z.IPWV, 2.2054, 5e-5);

    // The south uses the same coefficients, half a year later.
    const auto s = niellRetrieve(DATE, 100, -40, 30, 1013, 293.15, 60);
    EXPECT_EQ(s.Dmin, 211);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.a_d_avg[i], r.a_d_avg[i]);
    EXPECT_NEAR(s.IPWV, 2.3437, 5e-5);
    EXPECT_EQ(niellRetrieve(DATE, 100, 0, 30, 1013, 293.15, 60).Dmin, 28);

    EXPECT_NEAR(niellRT(DATE, 100, 10, 30, 1013, 293.15, 60), 2.2727, 5e-5);
}

TEST(Models, NiellCoefficientsFollowTheTable) {
    // At the reference latitudes the interpolation reproduces the columns.
    for (int col = 0; col < 5; ++col) {
        const auto r = niellRetrieve(DATE, 100, refLatitude[col], 30, 1013, 293.15, 60);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(r.a_d_avg[i], coef[i][col], 1e-15) << col;
            EXPECT_NEAR(r.a_d_amp[i], coef[i + 3][col], 1e-15) << col;
            EXPECT_NEAR(r.a_w[i], coef[i + 6][col], 1e-15) << col;
        }
    }
    EXPECT_EQ(niellRetrieve(DATE, 100, 75, 30, 1013, 293.15, 60).l, 3);
    EXPECT_EQ(niellRetrieve(DATE, 100, 30, 30, 1013, 293.15, 60).l, 1);
    // Outside 15..75 degrees the end columns hold unchanged, with slope 0,
    // so the coefficient uncertainties (slope x latitudeErr) are 0 there.
    for (double lat : {0.0, 10.0, 14.999, -14.999, 75.001, 80.0, -89.0}) {
        const int col = std::fabs(lat) < 15 ? 0 : 4;
        const auto r = niellRetrieve(DATE, 100, lat, 30, 1013, 293.15, 60);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(r.a_d_avg[i], coef[i][col]) << lat;
            EXPECT_EQ(r.a_d_amp[i], coef[i + 3][col]) << lat;
            EXPECT_EQ(r.a_w[i], coef[i + 6][col]) << lat;
            EXPECT_EQ(r.C2_avg[i], 0.0);
            EXPECT_EQ(r.C2_amp[i], 0.0);
            EXPECT_EQ(r.C2_w[i], 0.0);
        }
    }
    // At the equator and the poles the latitude uncertainty moves neither
    // the coefficients nor ZHD (sin(2 lat) = 0), so it adds nothing at all.
    for (double lat : {0.0, 90.0, -90.0}) {
        const Pair a = niellRT9(DATE, 100, lat, 30, 1013, 293.15, 60, 0, 0);
        const Pair b = niellRT9(DATE, 100, lat, 30, 1013, 293.15, 60, 2.5, 0);
        EXPECT_EQ(a.err, b.err) << lat;
    }
    // Inside the table the slopes are not 0 and coefficient uncertainties
    // count.
    const auto r = niellRetrieve(DATE, 100, 40, 30, 1013, 293.15, 60);
    double Err_a_w[3];
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(r.C2_w[i], 0.0);
        Err_a_w[i] = std::fabs(r.C2_w[i] * 2.5);
    }
    const double zero[3] = {0, 0, 0};
    EXPECT_GT(Err_M_w_Computing(30, r.a_w, 0.0002, Err_a_w),
              Err_M_w_Computing(30, r.a_w, 0.0002, zero));
}

TEST(Models, MissingInputs) {
    for (int which = 0; which < 3; ++which) {
        double v[3] = {100, 40, 30};
        v[which] = MISSING;
        EXPECT_EQ(niellRT("not a date", v[0], v[1], v[2], 1013, 293.15, 60), -9.99);
        const Pair p = niellRT9("not a date", v[0], v[1], v[2], 1013, 293.15, 60, 0.1, 1);
        EXPECT_EQ(p.ipwv, -9.99);
        EXPECT_EQ(p.err, -9.99);
    }
    // Missing weather readings take standard-atmosphere values.
    const auto s0 = niellRetrieve(DATE, 0, 40, 30, MISSING, MISSING, MISSING);
    EXPECT_DOUBLE_EQ(s0.Pressure, 1013.25);
    EXPECT_DOUBLE_EQ(s0.Temperature, 291.15);
    EXPECT_DOUBLE_EQ(s0.RH, 50);
    const auto s1 = niellRetrieve(DATE, 1000, 40, 30, MISSING, MISSING, MISSING);
    EXPECT_NEAR(s1.Pressure, 899.158, 5e-4);
    EXPECT_NEAR(s1.Temperature, 284.65, 1e-9);
    EXPECT_NEAR(s1.RH, 26.4465, 5e-5);
    // Each reading is replaced on its own.
    const auto s2 = niellRetrieve(DATE, 1000, 40, 30, 900, MISSING, 70);
    EXPECT_EQ(s2.Pressure, 900);
    EXPECT_NEAR(s2.Temperature, 284.65, 1e-9);
    EXPECT_EQ(s2.RH, 70);
    EXPECT_TRUE(std::isfinite(niellRT(DATE, 1000, 40, 30, MISSING, MISSING, MISSING)));
}

TEST(Models, UncertaintyWorkedExample) {
    const auto r = niellRetrieve(DATE, 100, 40, 30, 1013, 293.15, 60);
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
    const double Err_K = Err_K_computing(r.TM, 0.144);
    EXPECT_NEAR(Err_ZHD, 0.0005695, 5e-8);
    EXPECT_NEAR(Err_e, 0.29336, 5e-6);
    EXPECT_NEAR(Err_ZTD, 0.0029497, 5e-8);
    EXPECT_NEAR(Err_TD, 0.0058994, 5e-8);
    EXPECT_NEAR(Err_M_w, 1.2016e-05, 5e-10);
    EXPECT_NEAR(Err_M_d, 1.6752e-05, 5e-10);
    EXPECT_NEAR(Err_ZWD, 0.0030090, 5e-8);
    EXPECT_NEAR(Err_K, 0.12845, 5e-6);
    EXPECT_EQ(Err_IPWV_computing(r.K, r.ZWD, Err_K, Err_ZWD),
              niellRT9(DATE, 100, 40, 30, 1013, 293.15, 60, 0, 0).err);

    const Pair p = niellRT9(DATE, 100, 40, 30, 1013, 293.15, 60, 0, 0);
    EXPECT_NEAR(p.ipwv, 2.34701, 5e-6);
    EXPECT_NEAR(p.err, 0.05163, 5e-6);

    // At the zenith the elevation terms vanish up to cos(90 deg) rounding.
    const auto z = niellRetrieve(DATE, 100, 40, 90, 1013, 293.15, 60);
    EXPECT_EQ(Err_TD_computing(z.ZTD, 90, Err_ZTD, 0.0002), Err_ZTD);
    EXPECT_LT(Err_M_w_Computing(90, z.a_w, 0.0002, zero), 1e-20);
    EXPECT_LT(Err_M_d_Computing(90, 0.0002, z.A_d, z.B_d, z.C_d, 0, 0, 0, 0.1, 0, A_ht), 1e-20);
    const Pair q = niellRT9(DATE, 100, 40, 90, 1013, 293.15, 60, 0, 0);
    EXPECT_NEAR(q.ipwv, 2.20541, 5e-6);
    EXPECT_NEAR(q.err, 0.05115, 5e-6);
}

TEST(Models, UncertaintyTermsVanishWithoutInputUncertainty) {
    // No input uncertainty, no ZHD uncertainty: Err_L and Err_H are 0.
    for (double lat : {-1.2, 0.0, 0.7})
        EXPECT_EQ(Err_ZHD_computing(std::array<double, 3>{lat, 0, 1500}.data(), 1013, 0, 0, 0),
                  0.0);
    const double position[3] = {0.7, 0, 1500};
    const double D = 1 - 0.00266 * std::cos(1.4) - 0.00028 * 1.5;
    EXPECT_DOUBLE_EQ(Err_ZHD_computing(position, 1013, 0.25, 0, 0), 0.0022767 * 0.25 / D);
    EXPECT_GT(Err_ZHD_computing(position, 1013, 0.25, 10, 0), 0.0022767 * 0.25 / D);
    EXPECT_GT(Err_ZHD_computing(position, 1013, 0.25, 0, 0.01), 0.0022767 * 0.25 / D);
    // Err_dm_d is 0 for a zero height uncertainty: the station height itself
    // does not enter, and a height uncertainty adds to the result.
    const double base = Err_M_d_Computing(30, 0.0002, 0.00125, 0.0029, 0.063, 0, 0, 0, 0, 0, A_ht);
    EXPECT_EQ(Err_M_d_Computing(30, 0.0002, 0.00125, 0.0029, 0.063, 0, 0, 0, 3.2, 0, A_ht), base);
    EXPECT_GT(Err_M_d_Computing(30, 0.0002, 0.00125, 0.0029, 0.063, 0, 0, 0, 0, 0.01, A_ht), base);
    EXPECT_GT(niellRT9(DATE, 100, 40, 30, 1013, 293.15, 60, 0, 20).err,
              niellRT9(DATE, 100, 40, 30, 1013, 293.15, 60, 0, 0).err);
}

TEST(Models, BothFormsGiveTheSameIpwv) {
    const char* dates[] = {"2015-01-01 00:00:00", DATE, "2016-12-31 23:59:00", "garbage"};
    for (const char* date : dates)
        for (double h : {-50.0, 0.0, 350.0, 2400.0})
            for (double lat : {-80.0, -45.0, -12.0, 0.0, 15.0, 33.3, 60.0, 75.0, 88.0})
                for (double el : {5.0, 30.0, 47.7, 90.0})
                    for (double t : {263.15, 303.15, MISSING}) {
                        const double one = niellRT(date, h, lat, el, 1000, t, 45);
                        const Pair nine = niellRT9(date, h, lat, el, 1000, t, 45, 0.3, 4);
                        ASSERT_EQ(std::memcmp(&one, &nine.ipwv, sizeof one), 0)
                            << date << " " << h << " " << lat << " " << el << " " << t;
                        EXPECT_TRUE(std::isfinite(nine.err));
                    }
}

TEST(Models, SlantDelay) {
    double d = 0;
    troposphericDelay(&d, 1, 0, 1013.25, 288.15, 50, 0, 0, 0);
    EXPECT_NEAR(d, 2.39273, 5e-6);
    troposphericDelay(&d, 0.5, 0, 1013.25, 288.15, 50, 0, 0, 0);
    EXPECT_NEAR(d, 4.77014, 5e-6);
    // A negative sine is clamped to the horizon.
    double horizon = 0, below = 0;
    troposphericDelay(&horizon, 0, 0, 1013.25, 288.15, 50, 0, 0, 0);
    troposphericDelay(&below, -0.3, 0, 1013.25, 288.15, 50, 0, 0, 0);
    EXPECT_EQ(below, horizon);
    EXPECT_GT(horizon, 4.77014);
    // A higher station sees less atmosphere.
    double high = 0;
    troposphericDelay(&high, 1, 1.5, 850, 278.4, 50, 1.5, 1.5, 1.5);
    EXPECT_LT(high, 2.39273);
}

}  // namespace
