#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include "IPWV_Models.h"
#include "IPWV_ModelsInternal.h"
#include "TestSupport.h"

namespace {

const double NA = 666666.0;                      // a missing reading
const char* const DATE = "2015-06-15 12:00:00";  // day of year 165.5

// By default the example's weather: 1013 hPa, 20 degrees C, 60 %.
ipwv_internal::NiellRetrieval at(double lat, double el, double h = 100, double p = 1013,
                                 double t = 293.15, double rh = 60) {
    return ipwv_internal::niellRetrieve(DATE, h, lat, el, p, t, rh);
}

TEST(Models, WorkedExamplesAndProperties) {
    const auto r = at(40, 30), s = at(-40, 30), ten = at(10, 30);
    // At 1000 m, the weather missing (1) or only the temperature (2).
    const auto s1 = at(40, 30, 1000, NA, NA, NA), s2 = at(40, 30, 1000, 900, NA, 70);
    double slant1 = 0, slant05 = 0;
    troposphericDelay(&slant1, 1, 0, 1013.25, 288.15, 50, 0, 0, 0);
    troposphericDelay(&slant05, 0.5, 0, 1013.25, 288.15, 50, 0, 0, 0);
    const double eZHD = Err_ZHD_computing(r.position, 1013, 0.25, 0, 0);
    const double eE = Err_e_computing(60, 293.15, 1.0, 0.2), eK = Err_K_computing(r.TM, 0.144);
    const double eZTD = Err_ZTD_computing(1013, 293.15, r.e, 0.25, 0.2, eE);
    const double eTD = Err_TD_computing(r.ZTD, 30, eZTD, 0.0002);
    const double zero[3] = {0, 0, 0}, eMw = Err_M_w_Computing(30, r.a_w, 0.0002, zero);
    const double eMd = Err_M_d_Computing(30, 0.0002, r.A_d, r.B_d, r.C_d, 0, 0, 0, 0.1, 0, A_ht);
    const double eZWD = Err_ZWD_Computing(r.TD, r.ZHD, eZHD, eTD, r.M_w, r.M_d, eMw, eMd);
    // The nine-argument form's arrays, released with delete[].
    const std::unique_ptr<double[]> p(niellRT(DATE, 100, 40, 30, 1013, 293.15, 60, 0, 0)),
        q(niellRT(DATE, 100, 40, 90, 1013, 293.15, 60, 0, 0));
    // clang-format off
    const std::tuple<const char*, double, const char*> worked[] = {
        {"Doy", r.Doy, "165.5"}, {"ZHD", r.ZHD, "2.30743"}, {"e", r.e, "14.1188"},
        {"ZTD", r.ZTD, "2.44552"}, {"TD", r.TD, "4.89103"}, {"M_w", r.M_w, "1.99657"},
        {"M_d", r.M_d, "1.99253"}, {"ZWD", r.ZWD, "0.14696"}, {"TM", r.TM, "281.268"},
        {"K", r.K, "15.9709"}, {"IPWV-40", s.IPWV, "2.3437"}, {"Dmin", s.Dmin, "211.0"},
        {"IPWV10", ten.IPWV, "2.2727"}, {"P1", s1.Pressure, "899.158"},
        {"T1", s1.Temperature, "284.650"}, {"RH1", s1.RH, "26.4465"},
        {"P2", s2.Pressure, "900.000"}, {"T2", s2.Temperature, "284.650"}, {"RH2", s2.RH, "70.000"},
        {"sl90", slant1, "2.39273"}, {"sl30", slant05, "4.77014"}, {"eZHD", eZHD, "0.0005695"},
        {"eE", eE, "0.29336"}, {"eZTD", eZTD, "0.0029497"}, {"eTD", eTD, "0.0058994"},
        {"eMw", eMw, "0.000012016"}, {"eMd", eMd, "0.000016752"}, {"eZWD", eZWD, "0.0030090"},
        {"eK", eK, "0.12845"}, {"IPWV", p[0], "2.34701"}, {"eIPWV", p[1], "0.05163"},
        {"IPWV90", q[0], "2.20541"}, {"eIPWV90", q[1], "0.05115"}};
    // clang-format on
    for (const auto& [n, v, t] : worked)  // equal to the text rounded to its decimals
        EXPECT_NEAR(v, std::stod(t), 5 * std::pow(0.1, std::strlen(std::strchr(t, '.')))) << n;

    // Midway between reference latitudes the interpolated coefficients are
    // the means of the two columns, worked out by hand from the published
    // table, held in the golden file: any changed digit in any column shows
    // (both hemispheres).
    std::ostringstream mids;
    for (double lat : {22.5, 37.5, 52.5, 67.5, -22.5, -37.5, -52.5, -67.5}) {
        const auto a = at(lat, 30);
        mids << lat << ":" << std::setprecision(10);
        for (const double* v : {a.a_d_avg, a.a_d_amp, a.a_w})
            mids << " " << v[0] << " " << v[1] << " " << v[2];
        mids << "\n";
    }
    testsupport::expectGolden("golden/niell-midway-coefficients.txt", mids.str());
    // Outside 15..75 degrees the end columns hold with slope 0, so no
    // coefficient uncertainty there. At height 0 the hydrostatic mapping
    // with the wet coefficients is the wet one.
    for (double lat : {0.0, 10.0, -14.999, 75.001, -89.0, 88.0}) {
        const int col = std::fabs(lat) < 15 ? 0 : 4;
        const auto a = at(lat, 30);
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(a.a_w[i] == coef[6 + i][col] && a.C2_avg[i] == 0 && a.C2_amp[i] == 0 &&
                        a.C2_w[i] == 0)
                << lat << " " << i;
    }
}

// Position uncertainties (latitude in degrees, height in metres) and
// sensor heights, against values worked out independently from the
// published formulas: a latitude error in radians or metres, or a slant
// model whose lapse rate has the wrong sign, shows.
TEST(Models, PositionErrorsAndSensorHeights) {
    struct Case {
        double h, lat, el, p, t, rh, latErr, hErr, ipwv, sigma;
    };
    for (const Case& c :
         {Case{100, 40, 30, 1013, 293.15, 60, 0.5, 20, 2.347010568, 0.05165904997},
          Case{1500, -52, 12, 850, 278.15, 80, 0.8, 35, 1.863577728, 0.02892726575}}) {
        std::unique_ptr<double[]> r(
            niellRT(DATE, c.h, c.lat, c.el, c.p, c.t, c.rh, c.latErr, c.hErr));
        EXPECT_NEAR(r[0], c.ipwv, 1e-9) << c.lat;
        EXPECT_NEAR(r[1], c.sigma, 1e-10) << c.lat;
    }
    // Metres of meridian arc per degree of latitude (WGS 84).
    EXPECT_NEAR(metresPerDegreeLatitude(-45), 111131.7774, 1e-4);

    // Station at 0.8 km; pressure, temperature and humidity sensors at 0.5,
    // 1.2 and 0.3 km, then all at the station.
    double d1 = 0, d2 = 0;
    troposphericDelay(&d1, 0.7, 0.8, 920, 283.15, 70, 0.5, 1.2, 0.3);
    troposphericDelay(&d2, 0.7, 0.8, 920, 283.15, 70, 0.8, 0.8, 0.8);
    EXPECT_NEAR(d1, 3.027729076, 1e-8);
    EXPECT_NEAR(d2, 3.114203553, 1e-8);
}

// Both forms give the same IPWV; a missing height, latitude or elevation
// gives -9.99 (twice from the nine-argument form).
TEST(Models, BothFormsGiveTheSameIpwv) {
    for (double h : {-50.0, 0.0, 2400.0, NA})
        for (double lat : {-80.0, -12.0, 0.0, 15.0, 33.3, 75.0, 88.0, NA})
            for (double el : {5.0, 47.7, 90.0, NA}) {
                const double one = niellRT(DATE, h, lat, el, 1013, 293.15, 60);
                std::unique_ptr<double[]> nine(niellRT(DATE, h, lat, el, 1013, 293.15, 60, 0.3, 4));
                ASSERT_EQ(one, nine[0]) << h << " " << lat << " " << el;
                EXPECT_EQ(one == -9.99 && nine[1] == -9.99, h == NA || lat == NA || el == NA);
            }
}

}  // namespace
