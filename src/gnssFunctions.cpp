#include "gnssFunctions.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>

#include "Database.h"

std::vector<std::string> splitData(const char* seps, std::string line) {
    std::vector<std::string> pieces;
    std::string::size_type start = line.find_first_not_of(seps);
    while (start != std::string::npos) {
        std::string::size_type end = line.find_first_of(seps, start);
        if (end == std::string::npos) {
            pieces.push_back(line.substr(start));
            break;
        }
        pieces.push_back(line.substr(start, end - start));
        start = line.find_first_not_of(seps, end);
    }
    return pieces;
}

uint32_t logChecksum(const char* text, std::size_t size) {
    // One byte at a time through a table of the 256 byte remainders,
    // built on first use.
    static uint32_t table[256];
    static bool built = false;
    if (!built) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t r = n;
            for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) ? 0xEDB88320u : 0u);
            table[n] = r;
        }
        built = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ static_cast<unsigned char>(text[i])) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

uint32_t logChecksum(const std::string& text) { return logChecksum(text.data(), text.size()); }

std::string GpsTime2DateTime(int week, double timeOfWeek) {
    // 315964800 is 1980-01-06 00:00:00, the start of GPS week 0. The week
    // product is formed in 64 bits so that no week can overflow it.
    double seconds =
        static_cast<double>(static_cast<int64_t>(week) * 604800) + timeOfWeek + 315964800.0;
    if (!(seconds > -9.0e15 && seconds < 9.0e15)) return std::string();
    time_t whole = static_cast<time_t>(seconds);  // truncated toward zero
    struct tm broken {};
    if (gmtime_r(&whole, &broken) == nullptr) return std::string();
    char buffer[80];
    if (strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &broken) == 0) return std::string();
    return buffer;
}

double DateTime2Doy(std::string datetime) {
    struct tm broken {};
    std::memset(&broken, 0, sizeof(broken));
    strptime(datetime.c_str(), "%Y-%m-%d %H:%M:%S", &broken);
    return broken.tm_yday + broken.tm_hour / 24.0 + broken.tm_min / 1440.0;
}

const char kQueryError[] = "ERROR CREATING QUERY!";

namespace {
// The number of `count` digits at `p`, or -1 when one is not a digit.
int digits(const char* p, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}
}  // namespace

bool isDateTimeText(const std::string& text) {
    if (text.size() != 16 && text.size() != 19) return false;
    const char* t = text.c_str();
    if (t[4] != '-' || t[7] != '-' || t[10] != ' ' || t[13] != ':') return false;
    if (text.size() == 19 && t[16] != ':') return false;
    const int year = digits(t, 4), month = digits(t + 5, 2), day = digits(t + 8, 2),
              hour = digits(t + 11, 2), minute = digits(t + 14, 2),
              second = text.size() == 19 ? digits(t + 17, 2) : 0;
    if (year < 1000 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59)
        return false;
    static const int length[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= length[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool acceptDateTime(const char* function, const std::string& text) {
    if (isDateTimeText(text)) return true;
    std::cout << "\n"
              << function << ": not a date-time YYYY-MM-DD HH:MM[:SS]: \"" << text.substr(0, 40)
              << (text.size() > 40 ? "...\"" : "\"") << "\n"
              << std::endl;
    return false;
}

bool refuseDateTime(const char* function, const char* datatime, char* buffer, size_t size) {
    if (acceptDateTime(function, datatime != nullptr ? datatime : "")) return false;
    snprintf(buffer, size, "%s", kQueryError);
    return true;
}

char* format_GpsQuery(const char* datatime, double latitude, double longitude, double height,
                      double latitudeErr, double longitudeErr, double heightErr, double elevation) {
    static char query[512];
    if (refuseDateTime("format_GpsQuery", datatime, query, sizeof(query))) return query;
    snprintf(query, sizeof(query),
             "INSERT INTO gps (latitude, longitude, height, latitudeErr, longitudeErr, "
             "heightErr, elevation, data) VALUES (%.12f, %.12f, %.5f, %.5f, %.5f, %.5f, %.2f, "
             "'%s');",
             latitude, longitude, height, latitudeErr, longitudeErr, heightErr, elevation,
             datatime);
    return query;
}

char* format_troposphericDelayQuery(const char* datatime, double latitude, double longitude,
                                    double height, double latitudeErr, double longitudeErr,
                                    double heightErr, int PRN, double elevation, double td) {
    static char query[500];
    if (refuseDateTime("format_troposphericDelayQuery", datatime, query, sizeof(query)))
        return query;
    snprintf(query, sizeof(query),
             "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
             "longitudeErr, heightErr, prn, elevation, td, data) VALUES (%.12f, %.12f, %.5f, "
             "%.5f, %.5f, %.5f, %d, %.5f, %.2f, '%s');",
             latitude, longitude, height, latitudeErr, longitudeErr, heightErr, PRN, elevation, td,
             datatime);
    return query;
}

namespace {
const char* const kRecordEnd = "\n ------ ------ ------ ------ ------ ------ \n";
}

void printLogSatxyz2(satxyz2 satxyz2Data) {
    std::cout << "\n /------ SATXYZ2 log ------/\n" << std::endl;
    std::cout << " timeSATXYZ2 = " << satxyz2Data.datatime << std::endl;
    std::cout << " N_Sat = " << satxyz2Data.N_Sat << std::endl;
    const size_t n = satxyz2Data.PRN_xyz.size();
    if (satxyz2Data.TD.size() == n) {
        std::cout << "\nNumber of Satellite = " << n << std::endl;
        for (size_t i = 0; i < n; ++i) {
            std::cout << "\tPRN_xyz [" << i << "] = " << satxyz2Data.PRN_xyz[i] << "\tTD [" << i
                      << "] = " << satxyz2Data.TD[i] << std::endl;
        }
    } else {
        std::cout << "\n Vectors PRN_xyz and TD DO NOT HAVE the same size!!! " << std::endl;
        std::cout << " PRN_xyz size = " << satxyz2Data.PRN_xyz.size() << std::endl;
        std::cout << " TD size = " << satxyz2Data.TD.size() << std::endl;
    }
    std::cout << kRecordEnd << std::endl;
}

void printLogSatvis(satvis satvisData) {
    std::cout << "\n /------ SATVIS log ------/\n" << std::endl;
    std::cout << " timeSATVIS = " << satvisData.datatime << std::endl;
    std::cout << " N_Sat_vis = " << satvisData.N_Sat_vis << std::endl;
    const size_t n = satvisData.PRN_vis.size();
    if (satvisData.Elevation.size() == n) {
        std::cout << "\nNumber of Satellite = " << n << std::endl;
        for (size_t i = 0; i < n; ++i) {
            std::cout << "\tPRN_vis [" << i << "] = " << satvisData.PRN_vis[i] << "\tElevation ["
                      << i << "] = " << satvisData.Elevation[i];
            // A record of the non-joining parser has no delays: print
            // none rather than read past the end of the list.
            if (i < satvisData.TD.size()) {
                std::cout << "\tTD [" << i << "] = " << satvisData.TD[i];
            }
            std::cout << std::endl;
        }
    } else {
        std::cout << "\n Vectors PRN_vis and Elevation DO NOT HAVE the same size!!! " << std::endl;
        std::cout << " PRN_vis size = " << satvisData.PRN_vis.size() << std::endl;
        std::cout << " Elevation size = " << satvisData.Elevation.size() << std::endl;
        std::cout << " TD size = " << satvisData.TD.size() << std::endl;
    }
    std::cout << kRecordEnd << std::endl;
}

void printIPWV(double IPWV, double ZWD, double ZHD, double ZTD, double K, double Pressure,
               double Temperature, double RH) {
    (void)K;
    std::cout << "\n\t ZTD = " << ZTD << "\t ZHD = " << ZHD << "\t ZWD = " << ZWD
              << "\n\t Pressure = " << Pressure << "\t Temperature = " << Temperature
              << "\t RH = " << RH << "\n\t IPWV = " << IPWV << std::endl;
    std::cout << "\n\t ------\n\n" << std::endl;
    std::cout << kRecordEnd << std::endl;
}

void insertIpwvDB(double IPWV, std::string datatime) {
    static char query[500];
    if (!acceptDateTime("insertIpwvDB", datatime)) return;
    snprintf(query, sizeof(query), "INSERT INTO ipwv (ipwv_value, data) VALUES (%.5f, '%s');", IPWV,
             datatime.c_str());
    auto DB = std::make_unique<Database>();
    DB->openConnection("localhost", "UlmetDB", "root", "kzqvwp");
    if (DB->updateQuery(query)) {
        std::cout << "\nQuery Failed" << std::endl;
        printf("queryString : %s\n", query);
        printf("Database: error %u: %s\n\n", DB->errorNumber(), DB->errorMessage().c_str());
        fflush(stdout);
    } else {
        std::cout << "Successful query. IPWV value correctly stored." << std::endl;
    }
    DB->disconnect();
}
