// Tropospheric models: Saastamoinen zenith delays, Niell (1996) mapping
// functions, Bevis mean temperature, the wet-delay-to-IPWV factor, the IPWV
// retrieval (with and without first-order uncertainty propagation) and a
// modified-Hopfield slant-delay model.
#include "IPWV_Models.h"

#include <cmath>

#include "IPWV_ModelsInternal.h"
#include "gnssFunctions.h"

const double refLatitude[5] = {15, 30, 45, 60, 75};

const double coef[9][5] = {
    // hydrostatic averages a, b, c
    {0.0012769934, 0.001268323, 0.0012465397, 0.0012196049, 0.0012045996},
    {0.0029153695, 0.0029152299, 0.0029288445, 0.0029022565, 0.0029024912},
    {0.062610505, 0.062837393, 0.063721774, 0.063824265, 0.064258455},
    // hydrostatic seasonal amplitudes a, b, c
    {0.0, 1.2709626e-05, 2.6523662e-05, 3.4000452e-05, 4.1202191e-05},
    {0.0, 2.1414979e-05, 3.0160779e-05, 7.2562722e-05, 0.00011723375},
    {0.0, 9.01284e-05, 4.3497037e-05, 0.00084795348, 0.0017037206},
    // wet a, b, c
    {0.00058021897, 0.00056794847, 0.00058118019, 0.00059727542, 0.00061641693},
    {0.0014275268, 0.0015138625, 0.0014572752, 0.0015007428, 0.0017599082},
    {0.043472961, 0.04672951, 0.043908931, 0.044626982, 0.054736038},
};

const double A_ht[3] = {2.53e-05, 0.00549, 0.00114};

namespace {

const double k = 0.017453292519943295;  // degrees to radians
const double MISSING = 666666.0;
const double INVALID_IPWV = -9.99;

// Fixed uncertainties of the weather readings and of the elevation.
const double Err_Pressure = 0.25;     // hPa
const double Err_Temperature = 0.2;   // K
const double Err_RH = 1.0;            // percent
const double Err_Elevation = 0.0002;  // degrees

// Three-term continued fraction normalised to 1 at the zenith, evaluated at
// s = sin(elevation). The numerator is the denominator written with s = 1,
// so s = 1 gives exactly 1 for any coefficients.
double niellFraction(double s, double a, double b, double c) {
    return (1 + a / (1 + b / (1 + c))) / (s + a / (s + b / (s + c)));
}

// Sensitivities of the continued fraction to its three coefficients (each
// already multiplied by its uncertainty) and to the elevation (G, per
// degree, not yet multiplied).
struct FractionSensitivity {
    double a_s, b_s, c_s, G;
};

FractionSensitivity fractionSensitivity(double Elevation, double a, double b, double c,
                                        double Err_a, double Err_b, double Err_c) {
    const double s = std::sin(k * Elevation);
    const double cE = std::cos(k * Elevation);
    const double Q = 1 + b / (1 + c);
    const double N = 1 + a / Q;
    const double S3 = c + s;
    const double S2 = b / S3 + s;
    const double S1 = a / S2 + s;
    FractionSensitivity r{};
    r.a_s = (1 / (S1 * Q) - N / (S1 * S1 * S2)) * Err_a;
    r.b_s = (N * a / (S1 * S1 * S2 * S2 * S3) - Q * Q * a / (a / S2 * (c + 1) + s)) * Err_b;
    r.c_s =
        (a * b / (Q * Q * (1 + c) * (1 + c) * S1) - a * b * N / (S2 * S2 * S3 * S3 * S1)) * Err_c;
    r.G = (cE * k - (cE * k - k * b * cE / (S3 * S3)) * a / (S2 * S2)) * N / (S1 * S1);
    return r;
}

double sq(double x) { return x * x; }

}  // namespace

double zhd_computing(const double* position, double Pressure) {
    const double Height = position[2];
    return 0.0022767 * Pressure /
           (1 - 0.00266 * std::cos(2 * position[0]) - 0.00028 * Height / 1000);
}

// The table parameter bears the name of the module's own table, which the
// drivers pass to it; inside, the parameter is meant.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
double M_d_Niell(double Elevation, double A_d, double B_d, double C_d, double Height,
                 const double* A_ht) {
    const double s = std::sin(k * Elevation);
    const double m_d = niellFraction(s, A_d, B_d, C_d);
    const double dm_d = (1 / s - niellFraction(s, A_ht[0], A_ht[1], A_ht[2])) * Height;
    return m_d + dm_d;
}
#pragma GCC diagnostic pop

double M_w_Niell(double Elevation, const double* A_w) {
    return niellFraction(std::sin(k * Elevation), A_w[0], A_w[1], A_w[2]);
}

double TM_computing(double T_s) { return 0.72 * T_s + 70.2; }

double K_computing(double TM) { return 10000000000.0 / ((375406 / TM + 22.02) * 461511.15425); }

namespace ipwv_internal {

NiellRetrieval niellRetrieve(const std::string& datatime, double Height, double Latitude,
                             double Elevation, double Pressure, double Temperature, double RH) {
    NiellRetrieval r{};
    if (Height == MISSING || Latitude == MISSING || Elevation == MISSING) {
        r.valid = false;
        r.IPWV = INVALID_IPWV;
        return r;
    }
    r.valid = true;

    // Standard atmosphere at the station height for missing readings.
    const double H = Height;
    if (Temperature == MISSING) Temperature = 291.15 - 0.0065 * H;
    if (Pressure == MISSING) Pressure = 1013.25 * std::pow(1 - 2.26e-05 * H, 5.22588);
    if (RH == MISSING) RH = 50 * std::exp(-0.0006369 * H);
    r.Pressure = Pressure;
    r.Temperature = Temperature;
    r.RH = RH;

    r.Doy = DateTime2Doy(datatime);

    // Niell coefficients interpolated linearly in |latitude| between the
    // reference latitudes; outside 15..75 degrees the end columns hold.
    r.abs_lat = std::fabs(Latitude);
    const double abs_lat = r.abs_lat;
    int column = -1;  // end column used outside the table's range
    if (abs_lat < 15) {
        r.l = -1;
        column = 0;
    } else if (abs_lat < 30) {
        r.l = 0;
    } else if (abs_lat < 45) {
        r.l = 1;
    } else if (abs_lat < 60) {
        r.l = 2;
    } else if (abs_lat <= 75) {
        r.l = 3;
    } else {  // above 75 degrees (or not a number)
        r.l = 4;
        column = 4;
    }
    const int l = r.l;
    auto interpolate = [&](int row, double& C2, double& C1, double& value) {
        if (column >= 0) {
            C2 = 0;
            C1 = coef[row][column];
            value = C1;
            return;
        }
        C2 = (coef[row][l + 1] - coef[row][l]) / (refLatitude[l + 1] - refLatitude[l]);
        C1 = coef[row][l] - refLatitude[l] * C2;
        value = C1 + C2 * abs_lat;
    };
    for (int i = 0; i < 3; ++i) {
        interpolate(i, r.C2_avg[i], r.C1_avg[i], r.a_d_avg[i]);
        interpolate(i + 3, r.C2_amp[i], r.C1_amp[i], r.a_d_amp[i]);
        interpolate(i + 6, r.C2_w[i], r.C1_w[i], r.a_w[i]);
    }

    r.position[0] = Latitude * k;
    r.position[1] = 0;
    r.position[2] = Height;
    r.ZHD = zhd_computing(r.position, Pressure);

    // Water-vapour pressure (hPa) and the Saastamoinen zenith total delay.
    r.e = 6.108 * RH * 0.01 * std::exp((17.15 * Temperature - 4684) / (Temperature - 38.45));
    r.ZTD = 0.0022767 * (Pressure + (1255 / Temperature + 0.05) * r.e);

    // Hydrostatic coefficients of the day; the seasons are shifted by half
    // a year in the southern hemisphere.
    r.Dmin = Latitude < 0 ? 211 : 28;
    r.w = std::cos((r.Doy - r.Dmin) * 0.017202423838958484);
    r.A_d = r.a_d_avg[0] - r.a_d_amp[0] * r.w;
    r.B_d = r.a_d_avg[1] - r.a_d_amp[1] * r.w;
    r.C_d = r.a_d_avg[2] - r.a_d_amp[2] * r.w;

    r.TD = r.ZTD / std::sin(k * Elevation);
    r.M_w = M_w_Niell(Elevation, r.a_w);
    r.M_d = M_d_Niell(Elevation, r.A_d, r.B_d, r.C_d, Height / 1000, A_ht);
    r.HD = r.M_d * r.ZHD;
    r.ZWD = (r.TD - r.HD) / r.M_w;

    r.TM = TM_computing(Temperature);
    r.K = K_computing(r.TM);
    r.IPWV = r.K * r.ZWD;
    return r;
}

}  // namespace ipwv_internal

double niellRT(std::string datatime, double Height, double Latitude, double Elevation,
               double Pressure, double Temperature, double RH) {
    return ipwv_internal::niellRetrieve(datatime, Height, Latitude, Elevation, Pressure,
                                        Temperature, RH)
        .IPWV;
}

namespace ipwv_internal {

NiellUncertainty niellPropagate(const NiellRetrieval& r, double Elevation, double latitudeErr,
                                double heightErr) {
    NiellUncertainty u{};
    const double Height = r.position[2];
    u.Err_TM = 0.72 * Err_Temperature;

    // Coefficient uncertainties from the interpolation slopes.
    for (int i = 0; i < 3; ++i) {
        u.Err_a_d_avg[i] = std::fabs(r.C2_avg[i] * latitudeErr);
        u.Err_a_d_amp[i] = std::fabs(r.C2_amp[i] * latitudeErr);
        u.Err_a_w[i] = std::fabs(r.C2_w[i] * latitudeErr);
    }

    u.Err_ZHD = Err_ZHD_computing(r.position, r.Pressure, Err_Pressure, heightErr, latitudeErr * k);
    u.Err_e = Err_e_computing(r.RH, r.Temperature, Err_RH, Err_Temperature);
    u.Err_ZTD =
        Err_ZTD_computing(r.Pressure, r.Temperature, r.e, Err_Pressure, Err_Temperature, u.Err_e);

    u.Err_A_d = std::sqrt(sq(u.Err_a_d_avg[0]) + sq(r.w) * sq(u.Err_a_d_amp[0]));
    u.Err_B_d = std::sqrt(sq(u.Err_a_d_avg[1]) + sq(r.w) * sq(u.Err_a_d_amp[1]));
    u.Err_C_d = std::sqrt(sq(u.Err_a_d_avg[2]) + sq(r.w) * sq(u.Err_a_d_amp[2]));

    u.Err_TD = Err_TD_computing(r.ZTD, Elevation, u.Err_ZTD, Err_Elevation);
    u.Err_M_w = Err_M_w_Computing(Elevation, r.a_w, Err_Elevation, u.Err_a_w);
    u.Err_M_d = Err_M_d_Computing(Elevation, Err_Elevation, r.A_d, r.B_d, r.C_d, u.Err_A_d,
                                  u.Err_B_d, u.Err_C_d, Height / 1000, heightErr / 1000, A_ht);
    u.Err_ZWD =
        Err_ZWD_Computing(r.TD, r.ZHD, u.Err_ZHD, u.Err_TD, r.M_w, r.M_d, u.Err_M_w, u.Err_M_d);
    u.Err_K = Err_K_computing(r.TM, u.Err_TM);
    u.Err_IPWV = Err_IPWV_computing(r.K, r.ZWD, u.Err_K, u.Err_ZWD);
    return u;
}

}  // namespace ipwv_internal

double* niellRT(std::string datatime, double Height, double Latitude, double Elevation,
                double Pressure, double Temperature, double RH, double latitudeErr,
                double heightErr) {
    // The interface hands the caller a new[] array of two (value,
    // uncertainty), which the caller deletes.
    double* result = new double[2];  // NOLINT(cppcoreguidelines-owning-memory)
    const ipwv_internal::NiellRetrieval r = ipwv_internal::niellRetrieve(
        datatime, Height, Latitude, Elevation, Pressure, Temperature, RH);
    if (!r.valid) {
        result[0] = INVALID_IPWV;
        result[1] = INVALID_IPWV;
        return result;
    }
    result[0] = r.IPWV;
    result[1] = ipwv_internal::niellPropagate(r, Elevation, latitudeErr, heightErr).Err_IPWV;
    return result;
}

double metresPerDegreeLatitude(double Latitude) {
    const double a = 6378137.0;               // WGS 84 semi-major axis, m
    const double e2 = 0.0066943799901413165;  // first eccentricity squared, f (2 - f)
    const double s = std::sin(k * Latitude);
    return a * (1 - e2) / std::pow(1 - e2 * s * s, 1.5) * k;
}

void troposphericDelay(double* ddr_m, double sinel, double hsta_km, double p_mb, double t_kel,
                       double hum, double hp_km, double htkel_km, double hhum_km) {
    const double a_e = 6378.137;  // km
    const double b0 = 7.839257e-05;
    const double tlapse = -6.5;  // K per km
    const double em = 5.245958751393533;
    const double em4 = 20.983835005574132;  // 4 * em

    // Water-vapour pressure at the humidity sensor, then everything reduced
    // to height 0.
    const double tkhum = t_kel + tlapse * (hhum_km - htkel_km);
    const double atkel = 7.5 * (tkhum - 273.15) / (237.3 + tkhum - 273.15);
    const double e0 = 0.0611 * hum * std::pow(10, atkel);
    const double tksea = t_kel - tlapse * htkel_km;
    const double tkelh = tksea + tlapse * hhum_km;
    const double e0sea = e0 * std::pow(tksea / tkelh, em4);
    const double tkelp = tksea + tlapse * hp_km;
    const double psea = p_mb * std::pow(tksea / tkelp, em);

    if (sinel < 0) sinel = 0;
    const double cos2 = 1 - sinel * sinel;

    double tropo_delay = 0;
    bool done = false;

    // Dry layer first.
    double refsea = 7.7624e-05 / tksea;
    double htop = 1.1385e-05 / refsea;  // top of the layer, km
    refsea = refsea * psea;
    double ref = refsea * std::pow((htop - hsta_km) / htop, 4);

    for (;;) {
        // Path length from the station to the top of the layer, km.
        double rtop = sq(a_e + htop) - sq(a_e + hsta_km) * cos2;
        if (rtop < 0) rtop = 0;
        rtop = std::sqrt(rtop) - (a_e + hsta_km) * sinel;

        const double a = -sinel / (htop - hsta_km);
        const double b = -b0 * cos2 / (htop - hsta_km);

        double rn[8];
        for (int i = 0; i < 8; ++i) rn[i] = std::pow(rtop, i + 2);

        double alpha[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        alpha[0] = 2 * a;
        alpha[1] = 2 * a * a + 4 * b / 3;
        alpha[2] = a * (a * a + 3 * b);
        alpha[3] = std::pow(a, 4) / 5 + 2.4 * a * a * b + 1.2 * b * b;
        alpha[4] = 2 * a * b * (a * a + 3 * b) / 3;
        alpha[5] = b * b * (6 * a * a + 4 * b) * 0.1428571;
        if (b * b > 1e-35) {
            alpha[6] = a * b * b * b / 2;
            alpha[7] = std::pow(b, 4) / 9;
        }

        double aux[8];
        double dr = rtop;
        for (int i = 0; i < 8; ++i) {
            aux[i] = alpha[i] * rn[i];
            dr += aux[i];
        }
        tropo_delay += dr * ref * 1000;

        if (done) {
            *ddr_m = tropo_delay;
            return;
        }

        // Wet layer.
        done = true;
        refsea = (0.3719 / tksea - 1.292e-05) / tksea;
        htop = 1.1385e-05 * (1255 / tksea + 0.05) / refsea;
        ref = refsea * e0sea * std::pow((htop - hsta_km) / htop, 4);
    }
}

double Err_ZHD_computing(const double* position, double Pressure, double Err_Pressure,
                         double heightErr, double latitudeErr) {
    const double D = 1 - 0.00266 * std::cos(2 * position[0]) - 0.00028 * position[2] / 1000;
    const double Err_P = 0.0022767 * Err_Pressure / D;
    const double Err_L =
        -2 * 6.056022e-06 * Pressure * std::sin(2 * position[0]) / (D * D) * latitudeErr;
    const double Err_H = 0.0022767 * Pressure * (0.00028 / 1000) / (D * D) * heightErr;
    return std::sqrt(sq(Err_P) + sq(Err_L) + sq(Err_H));
}

double Err_e_computing(double RH, double Temperature, double Err_RH, double Err_Temperature) {
    const double x = std::exp((17.15 * Temperature - 4684) / (Temperature - 38.45));
    const double Err_RH_s = 0.06108 * x * Err_RH;
    const double Err_Temperature_s =
        (17.15 / (Temperature - 38.45) - (17.15 * Temperature - 4684) / sq(Temperature - 38.45)) *
        x * RH * 0.06108 * Err_Temperature;
    return std::sqrt(sq(Err_RH_s) + sq(Err_Temperature_s));
}

double Err_ZTD_computing(double /*Pressure*/, double Temperature, double e, double Err_Pressure,
                         double Err_Temperature, double Err_e) {
    const double Err_Pressure_s = 0.0022767 * Err_Pressure;
    const double Err_e_s = (1255 / Temperature + 0.05) * 0.0022767 * Err_e;
    const double Err_Temperature_s =
        0.0022767 * e * 1255 / (Temperature * Temperature) * Err_Temperature;
    return std::sqrt(sq(Err_Pressure_s) + sq(Err_e_s) + sq(Err_Temperature_s));
}

double Err_TD_computing(double ZTD, double Elevation, double Err_ZTD, double Err_Elevation) {
    const double s = std::sin(k * Elevation);
    const double cE = std::cos(k * Elevation);
    const double Err_ZTD_s = Err_ZTD / s;
    const double Err_Elevation_s = cE * k * ZTD / (s * s) * Err_Elevation;
    return std::sqrt(sq(Err_ZTD_s) + sq(Err_Elevation_s));
}

double Err_M_w_Computing(double Elevation, const double* a_w, double Err_Elevation,
                         const double* Err_a_w) {
    const FractionSensitivity f =
        fractionSensitivity(Elevation, a_w[0], a_w[1], a_w[2], Err_a_w[0], Err_a_w[1], Err_a_w[2]);
    const double Err_Elevation_s = f.G * Err_Elevation;
    return std::sqrt(sq(f.a_s) + sq(f.b_s) + sq(f.c_s) + sq(Err_Elevation_s));
}

// As M_d_Niell: the parameter bears the name of the module's table.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
double Err_M_d_Computing(double Elevation, double Err_Elevation, double A_d, double B_d, double C_d,
                         double Err_A_d, double Err_B_d, double Err_C_d, double /*Height*/,
                         double heightErr, const double* A_ht) {
    const double s = std::sin(k * Elevation);
    const double cE = std::cos(k * Elevation);
    const FractionSensitivity f =
        fractionSensitivity(Elevation, A_d, B_d, C_d, Err_A_d, Err_B_d, Err_C_d);
    const double Err_m_d = std::sqrt(sq(f.a_s) + sq(f.b_s) + sq(f.c_s) + sq(f.G * Err_Elevation));
    const double Err_dm_d = (1 / s - niellFraction(s, A_ht[0], A_ht[1], A_ht[2])) * heightErr;
    const double Err_Elevation_s = (f.G - k * cE / (s * s)) * Err_Elevation + f.G * Err_Elevation;
    return std::sqrt(sq(Err_dm_d) + sq(Err_m_d) + sq(Err_Elevation_s) + sq(f.c_s) + sq(f.b_s) +
                     sq(f.a_s));
}
#pragma GCC diagnostic pop

double Err_ZWD_Computing(double TD, double ZHD, double Err_ZHD, double Err_TD, double M_w,
                         double M_d, double Err_M_w, double Err_M_d) {
    const double Err_TD_s = Err_TD / M_w;
    const double Err_ZHD_s = M_d / M_w * Err_ZHD;
    const double Err_M_d_s = ZHD / M_w * Err_M_d;
    const double Err_M_w_s = (TD - ZHD * M_d) / (M_w * M_w) * Err_M_w;
    return std::sqrt(sq(Err_TD_s) + sq(Err_ZHD_s) + sq(Err_M_d_s) + sq(Err_M_w_s));
}

double Err_K_computing(double TM, double Err_TM) {
    const double Err_k_3 = 3000;  // of the refractivity constant 375406
    const double Err_k_4 = 2.2;   // of the refractivity constant 22.02
    const double D = 10000000000.0 / (sq(375406 / TM + 22.02) * 461511.15425);
    const double Err_k_3_s = (1 / TM) * Err_k_3;
    const double Err_k_4_s = Err_k_4;
    const double Err_TM_s = 375406 / (TM * TM) * Err_TM;
    return std::sqrt(sq(Err_TM_s) + sq(Err_k_4_s) + sq(Err_k_3_s)) * D;
}

double Err_IPWV_computing(double K, double ZWD, double Err_K, double Err_ZWD) {
    const double Err_K_s = ZWD * Err_K;
    const double Err_ZWD_s = K * Err_ZWD;
    return std::sqrt(sq(Err_K_s) + sq(Err_ZWD_s));
}
