// ulmet-science-figures: measures the known limits of the IPWV retrieval
// with the retrieval's own code, for docs/science.md.
//
//   ulmet-science-figures DIR
//
// Writes five tab-separated tables into DIR (elevation.tsv, latitude.tsv,
// doy.tsv, mapping.tsv, budget.tsv; first line the column names) and prints the same
// figures as Markdown tables on standard output. scripts/science-figures
// runs it and draws the plots.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "IPWV_Models.h"
#include "IPWV_ModelsInternal.h"

namespace {

using ipwv_internal::NiellRetrieval;

const double k = 0.017453292519943295;
const double kYear = 0.017202423838958484;  // 2 pi / 365.25, per day

// The weather of the worked example: 2015-06-15 12:00, 100 m, 40 degrees
// north, 1013 hPa, 20 degrees C, 60 %.
const char kDate[] = "2015-06-15 12:00:00";
const double kHeight = 100, kLatitude = 40, kPressure = 1013, kTemperature = 293.15, kRH = 60;

// A table written both as TSV (all rows) and as Markdown (the rows marked).
class Table {
  public:
    Table(const std::string& dir, const std::string& name, const std::string& title,
          const std::vector<std::string>& columns)
        : file_(std::fopen((dir + "/" + name).c_str(), "w")), columns_(columns) {
        if (file_ == nullptr) {
            std::perror((dir + "/" + name).c_str());
            std::exit(1);
        }
        for (size_t i = 0; i < columns.size(); ++i)
            std::fprintf(file_, "%s%s", i ? "\t" : "", columns[i].c_str());
        std::fprintf(file_, "\n");
        std::printf("\n### %s\n\n(%s)\n\n|", title.c_str(), name.c_str());
        for (const std::string& c : columns) std::printf(" %s |", c.c_str());
        std::printf("\n|");
        for (size_t i = 0; i < columns.size(); ++i) std::printf("---:|");
        std::printf("\n");
    }
    ~Table() { std::fclose(file_); }
    // One row of texts; shown in the Markdown table when `shown`.
    void row(const std::vector<std::string>& cells, bool shown = true) {
        for (size_t i = 0; i < cells.size(); ++i)
            std::fprintf(file_, "%s%s", i ? "\t" : "", cells[i].c_str());
        std::fprintf(file_, "\n");
        if (!shown) return;
        std::printf("|");
        for (const std::string& c : cells) std::printf(" %s |", c.c_str());
        std::printf("\n");
    }

  private:
    std::FILE* file_;
    std::vector<std::string> columns_;
};

std::string num(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

// IPWV and its uncertainty (cm) of the worked weather at another elevation.
std::pair<double, double> worked(double elevation) {
    std::unique_ptr<double[]> r(
        niellRT(kDate, kHeight, kLatitude, elevation, kPressure, kTemperature, kRH, 0, 0));
    return {r[0], r[1]};
}

// 1. The same weather seen through satellites at different elevations.
void elevationTable(const std::string& dir) {
    Table t(dir, "elevation.tsv", "IPWV against the chosen satellite's elevation, same weather",
            {"elevation_deg", "ipwv_cm", "sigma_cm", "minus_zenith_cm"});
    const double zenith = worked(90).first;
    for (int e = 90; e >= 5; --e) {
        const auto [ipwv, sigma] = worked(e);
        const bool shown = e % 15 == 0 || e == 10 || e == 5 || e == 45;
        t.row({num("%.0f", e), num("%.4f", ipwv), num("%.4f", sigma), num("%.4f", ipwv - zenith)},
              shown);
    }
}

// 2. Dry air at the zenith: whatever the model gives is its bias, since the
// total delay lacks the latitude/height divisor of the hydrostatic delay.
// The humidity below which a minute's value is negative (and so not
// stored) follows from the value's linearity in RH.
void latitudeTable(const std::string& dir) {
    Table t(dir, "latitude.tsv",
            "Dry-air zenith IPWV at 20 degrees C (the bias) by station height, and the humidity "
            "below which the value is negative at 20, 0 and -20 degrees C (height 0); standard "
            "pressure at the height",
            {"latitude_deg", "bias_h0_cm", "bias_h1000_cm", "bias_h2000_cm", "rh_negative_20c_pct",
             "rh_negative_0c_pct", "rh_negative_m20c_pct"});
    auto ipwv = [](double lat, double h, double rh, double kelvin) {
        const double p = 1013.25 * std::pow(1 - 2.26e-05 * h, 5.22588);
        return niellRT(kDate, h, lat, 90, p, kelvin, rh);
    };
    auto threshold = [&](double lat, double kelvin) {
        const double dry = ipwv(lat, 0, 0, kelvin), wet = ipwv(lat, 0, 100, kelvin);
        return dry >= 0 ? 0.0 : -dry / (wet - dry) * 100;
    };
    for (int lat = 0; lat <= 90; lat += 5)
        t.row({num("%.0f", lat), num("%.4f", ipwv(lat, 0, 0, kTemperature)),
               num("%.4f", ipwv(lat, 1000, 0, kTemperature)),
               num("%.4f", ipwv(lat, 2000, 0, kTemperature)), num("%.2f", threshold(lat, 293.15)),
               num("%.2f", threshold(lat, 273.15)), num("%.2f", threshold(lat, 253.15))},
              lat % 15 == 0);
}

// IPWV of `r` (same inputs) with the hydrostatic coefficients of another
// seasonal phase: day-of-year offset `shift` and reference day `Dmin`.
double withPhase(const NiellRetrieval& r, double elevation, double shift, double Dmin) {
    const double w = std::cos((r.Doy + shift - Dmin) * kYear);
    const double M_d =
        M_d_Niell(elevation, r.a_d_avg[0] - r.a_d_amp[0] * w, r.a_d_avg[1] - r.a_d_amp[1] * w,
                  r.a_d_avg[2] - r.a_d_amp[2] * w, r.position[2] / 1000, A_ht);
    return r.K * (r.TD - M_d * r.ZHD) / r.M_w;
}

// 3. The seasonal phase as coded (0-based day, reference day 28 north and
// 211 south) against the usual one (1-based day, 28 and 28 + 365.25 / 2 =
// 210.625): the largest difference over a year, and the size of the whole
// seasonal term (the largest change of IPWV with the season) for scale.
void doyTable(const std::string& dir) {
    Table t(dir, "doy.tsv",
            "Day-of-year convention: largest IPWV difference over a year, worked weather",
            {"latitude_deg", "elevation_deg", "max_convention_diff_cm", "seasonal_range_cm"});
    for (double lat : {40.0, -40.0, 70.0, -70.0})
        for (double el : {30.0, 15.0, 10.0, 5.0}) {
            double maxDiff = 0, lo = 1e9, hi = -1e9;
            for (int day = 0; day < 366; ++day) {
                struct tm date = {0, 0, 12, 1, 0, 115, 0, 0, 0, 0, nullptr};
                date.tm_mday += day;
                timegm(&date);
                char text[32];
                std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &date);
                const NiellRetrieval r = ipwv_internal::niellRetrieve(text, kHeight, lat, el,
                                                                      kPressure, kTemperature, kRH);
                const double usual = withPhase(r, el, 1, lat < 0 ? 210.625 : 28);
                maxDiff = std::max(maxDiff, std::fabs(r.IPWV - usual));
                lo = std::min(lo, r.IPWV);
                hi = std::max(hi, r.IPWV);
            }
            t.row({num("%.0f", lat), num("%.0f", el), num("%.6f", maxDiff), num("%.4f", hi - lo)});
        }
}

// 4. The mapping functions' uncertainty terms as written against the exact
// first-order terms (central differences of the mapping functions), and
// what each gives for the IPWV's uncertainty.
void mappingTable(const std::string& dir) {
    Table t(
        dir, "mapping.tsv",
        "Mapping-function uncertainty terms as written and exact, and the IPWV uncertainty "
        "from each (worked weather)",
        {"latitude_err_deg", "height_err_m", "elevation_deg", "err_m_w_written", "err_m_w_exact",
         "err_m_d_written", "err_m_d_exact", "sigma_written_cm", "sigma_exact_cm"});
    const double Err_Elevation = 0.0002;
    // 2 m and 5 m: a receiver's usual position errors; 1 degree and 100 m
    // make the coefficient and height terms visible.
    const double cases[2][2] = {{2.0 / metresPerDegreeLatitude(kLatitude), 5}, {1.0, 100}};
    for (const auto& c : cases)
        for (double el : {90.0, 60.0, 30.0, 15.0, 10.0, 5.0}) {
            const NiellRetrieval r = ipwv_internal::niellRetrieve(kDate, kHeight, kLatitude, el,
                                                                  kPressure, kTemperature, kRH);
            const auto u = ipwv_internal::niellPropagate(r, el, c[0], c[1]);
            const double H = kHeight / 1000;
            auto mw = [&](double e, int i, double d) {
                double a[3] = {r.a_w[0], r.a_w[1], r.a_w[2]};
                if (i >= 0) a[i] += d;
                return M_w_Niell(e, a);
            };
            auto md = [&](double e, int i, double d, double h) {
                double a[3] = {r.A_d, r.B_d, r.C_d};
                if (i >= 0) a[i] += d;
                return M_d_Niell(e, a[0], a[1], a[2], h, A_ht);
            };
            const double de = 1e-4;
            const double coefErr_d[3] = {u.Err_A_d, u.Err_B_d, u.Err_C_d};
            double w2 =
                std::pow((mw(el + de, -1, 0) - mw(el - de, -1, 0)) / (2 * de) * Err_Elevation, 2);
            double d2 =
                std::pow((md(el + de, -1, 0, H) - md(el - de, -1, 0, H)) / (2 * de) * Err_Elevation,
                         2) +
                std::pow((md(el, -1, 0, H + 1e-4) - md(el, -1, 0, H - 1e-4)) / 2e-4 * c[1] / 1000,
                         2);
            const double coefW[3] = {r.a_w[0], r.a_w[1], r.a_w[2]};
            const double coefD[3] = {r.A_d, r.B_d, r.C_d};
            for (int i = 0; i < 3; ++i) {
                const double hw = coefW[i] * 1e-6, hd = coefD[i] * 1e-6;
                w2 += std::pow((mw(el, i, hw) - mw(el, i, -hw)) / (2 * hw) * u.Err_a_w[i], 2);
                d2 += std::pow((md(el, i, hd, H) - md(el, i, -hd, H)) / (2 * hd) * coefErr_d[i], 2);
            }
            const double exactMw = std::sqrt(w2), exactMd = std::sqrt(d2);
            const double exactZWD =
                Err_ZWD_Computing(r.TD, r.ZHD, u.Err_ZHD, u.Err_TD, r.M_w, r.M_d, exactMw, exactMd);
            const double exactSigma = Err_IPWV_computing(r.K, r.ZWD, u.Err_K, exactZWD);
            t.row({num("%.3g", c[0]), num("%.0f", c[1]), num("%.0f", el), num("%.3e", u.Err_M_w),
                   num("%.3e", exactMw), num("%.3e", u.Err_M_d), num("%.3e", exactMd),
                   num("%.5f", u.Err_IPWV), num("%.5f", exactSigma)});
        }
}

// 5. The uncertainty budget: each input's first-order share, from central
// differences through the whole retrieval (so effects of one reading on
// several working values offset as they should), the refractivity
// constants' share, their sum in quadrature, and the stated uncertainty,
// which adds the working values' uncertainties as if independent.
void budgetTable(const std::string& dir) {
    Table t(dir, "budget.tsv",
            "Uncertainty budget of the worked weather (cm): each input's share by differences "
            "through the retrieval, and the stated uncertainty",
            {"elevation_deg", "pressure", "temperature", "humidity", "elevation", "latitude",
             "height", "constants", "total", "stated"});
    const double latErr = 2.0 / metresPerDegreeLatitude(kLatitude), hErr = 5;
    for (double el : {90.0, 30.0, 15.0}) {
        double x[6] = {kPressure, kTemperature, kRH, el, kLatitude, kHeight};
        const double sigma[6] = {0.25, 0.2, 1.0, 0.0002, latErr, hErr};
        auto ipwv = [&](const double* v) {
            return niellRT(kDate, v[5], v[4], v[3], v[0], v[1], v[2]);
        };
        std::vector<std::string> cells = {num("%.0f", el)};
        double sum2 = 0;
        for (int i = 0; i < 6; ++i) {
            const double keep = x[i], h = 1e-3 * sigma[i];
            x[i] = keep + h;
            const double up = ipwv(x);
            x[i] = keep - h;
            const double down = ipwv(x);
            x[i] = keep;
            const double share = std::fabs(up - down) / (2 * h) * sigma[i];
            sum2 += share * share;
            cells.push_back(num("%.5f", share));
        }
        const NiellRetrieval r = ipwv_internal::niellRetrieve(kDate, kHeight, kLatitude, el,
                                                              kPressure, kTemperature, kRH);
        const double D = 1e10 / (std::pow(375406 / r.TM + 22.02, 2) * 461511.15425);
        const double constants = r.ZWD * D * std::sqrt(2.2 * 2.2 + std::pow(3000 / r.TM, 2));
        sum2 += constants * constants;
        std::unique_ptr<double[]> stated(
            niellRT(kDate, kHeight, kLatitude, el, kPressure, kTemperature, kRH, latErr, hErr));
        cells.push_back(num("%.5f", constants));
        cells.push_back(num("%.5f", std::sqrt(sum2)));
        cells.push_back(num("%.5f", stated[1]));
        t.row(cells);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ulmet-science-figures DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::printf(
        "<!-- Written by ulmet-science-figures; regenerate with scripts/science-figures "
        "-->\n");
    elevationTable(dir);
    latitudeTable(dir);
    doyTable(dir);
    mappingTable(dir);
    budgetTable(dir);
    return 0;
}
