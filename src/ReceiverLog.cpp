#include "ReceiverLog.h"

#include <cmath>
#include <iostream>
#include <limits>

#include "ReceiverValues.h"
#include "gnssFunctions.h"

namespace {
// Header fields 5 and 6 hold the GPS week and the seconds into the week.
const std::size_t kWeekField = 5;
const std::size_t kSecondsField = 6;
// A GLONASS identifier "n+k" / "n-k" is filed under n + 37.
const int32_t kGlonassOffset = 37;
}  // namespace

ReceiverLog::ReceiverLog(std::string IDLog, std::string Log, double elevCutOff)
    : week(0), timeOfWeek(0.0), elevationCUTOFF(elevCutOff) {
    if (IDLog == "#BESTPOSA") {
        bestposData = parseBestpos(Log);
    } else if (IDLog == "#SATVISA") {
        satvisData = parseSatvis2(Log, elevationCUTOFF);
    } else if (IDLog == "#SATXYZ2A") {
        satxyz2Data = parseSatxyz2(Log);
    }
}

ReceiverLog::ReceiverLog(std::string IDLog, std::string Log, satxyz2 satxyz2DataBuffered,
                         double elevCutOff)
    : week(0), timeOfWeek(0.0), elevationCUTOFF(elevCutOff) {
    if (IDLog == "#SATVISA") {
        satvisData = parseSatvis(Log, satxyz2DataBuffered, elevationCUTOFF);
    }
}

ReceiverLog::~ReceiverLog() {}

// Every number goes through the one `convert` stream: the field is written,
// the number read back, the error state reset. What a field leaves unread
// (the "abc" of "12abc") is skipped so that it cannot spoil the next field;
// a field that does not convert at all gives 0.
int32_t ReceiverLog::toInt(const std::string& field) {
    int32_t value = 0;
    convert << field;
    convert >> value;
    discardRest();
    return value;
}

double ReceiverLog::toDouble(const std::string& field) {
    double value = 0.0;
    convert << field;
    convert >> value;
    discardRest();
    return value;
}

// A field converts completely when the number read from it is all of it:
// "45.5" does, "45.5x", "4 5", "" and "1e999" (out of range) do not.
template <typename Number>
bool ReceiverLog::toWhole(const std::string& field, Number& value) {
    convert << field;
    convert >> value;
    bool whole = !convert.fail() && convert.peek() == std::char_traits<char>::eof();
    discardRest();
    return whole;
}

void ReceiverLog::discardRest() {
    bool atEnd = convert.eof();
    convert.clear();
    if (!atEnd) {
        convert.ignore(std::numeric_limits<std::streamsize>::max());
        convert.clear();
    }
}

bool ReceiverLog::frame(const std::string& Log, std::string& datatime,
                        std::vector<std::string>& fields) {
    std::vector<std::string> pieces = splitData(";", Log);
    if (pieces.size() < 2) return false;
    std::vector<std::string> header = splitData(",", pieces[0]);
    if (header.size() <= kSecondsField) return false;
    gpsTime = splitData(" ", header[kWeekField] + " " + header[kSecondsField]);
    if (gpsTime.size() != 2) {
        gpsTime.clear();
        return false;
    }
    // A time that is not wholly two numbers gives the log no epoch at all.
    int32_t weekRead = 0;
    double secondsRead = 0.0;
    bool timeRead = toWhole(gpsTime[0], weekRead) && toWhole(gpsTime[1], secondsRead);
    gpsTime.clear();
    if (!timeRead) return false;
    week = weekRead;
    timeOfWeek = secondsRead;
    datatime = GpsTime2DateTime(week, timeOfWeek);
    fields = splitData(",", pieces[1]);
    return true;
}

int32_t ReceiverLog::satelliteNumber(const std::string& field) {
    std::string::size_type sign = field.find('+');
    if (sign == std::string::npos) sign = field.find('-');
    if (sign == std::string::npos) return toInt(field);
    std::string glonassPRN = field.substr(0, sign);
    int64_t number = static_cast<int64_t>(toInt(glonassPRN)) + kGlonassOffset;
    if (number > std::numeric_limits<int32_t>::max()) number = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(number);
}

bestpos ReceiverLog::parseBestpos(std::string Log) {
    bestpos record;
    std::string datatime;
    std::vector<std::string> fields;
    if (!frame(Log, datatime, fields) || fields.size() < 10) return bestpos();
    // All six numbers or none: a field that converts only in part (line
    // noise, a cut log) must not become a position of zeros or a partial
    // number.
    const std::size_t source[6] = {2, 3, 4, 7, 8, 9};
    double* target[6] = {&record.position[0],    &record.position[1],    &record.position[2],
                         &record.positionErr[0], &record.positionErr[1], &record.positionErr[2]};
    for (int n = 0; n < 6; ++n) {
        if (!toWhole(fields[source[n]], *target[n])) return bestpos();
    }
    record.datatime = datatime;
    return record;
}

satxyz2 ReceiverLog::parseSatxyz2(std::string Log) {
    satxyz2 record;
    std::vector<std::string> fields;
    if (!frame(Log, record.datatime, fields) || fields.empty()) return satxyz2();
    record.N_Sat = toInt(fields[0]);
    // Identifiers from fields 2, 12, 22, ... and delays from fields 8, 18,
    // 28, ...; a body cut after an identifier leaves PRN_xyz one longer.
    std::size_t p = 0;
    std::size_t t = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i == 10 * p + 2) {
            record.PRN_xyz.push_back(satelliteNumber(fields[i]));
            ++p;
        } else if (i == 10 * t + 8) {
            record.TD.push_back(toDouble(fields[i]));
            ++t;
        }
    }
    return record;
}

// The parameter keeps the name of the record it is joined with (the member of
// the same name is not used here).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
satvis ReceiverLog::parseSatvis(std::string Log, satxyz2 satxyz2Data, double elevCutOff) {
    satvis record;
    std::vector<std::string> fields;
    if (!frame(Log, record.datatime, fields) || fields.size() < 3) return satvis();
    record.N_Sat_vis = toInt(fields[2]);
    // Satellite k: number in field 3 + 7k, elevation in field 6 + 7k. A
    // record cut before its elevation is dropped.
    for (std::size_t k = 0; 6 + 7 * k < fields.size(); ++k) {
        int32_t tempPRN = toInt(fields[3 + 7 * k]);
        std::size_t j = 0;
        while (j < satxyz2Data.PRN_xyz.size() && satxyz2Data.PRN_xyz[j] != tempPRN) ++j;
        // Not listed, or listed without a delay (a cut positions record):
        // no row can be made for it.
        if (j >= satxyz2Data.PRN_xyz.size() || j >= satxyz2Data.TD.size()) continue;
        double tempElevation = std::fabs(toDouble(fields[6 + 7 * k]));
        if (tempElevation >= elevCutOff) {
            record.Elevation.push_back(tempElevation);
            record.TD.push_back(satxyz2Data.TD[j]);
            record.PRN_vis.push_back(tempPRN);
        }
    }
    return record;
}
#pragma GCC diagnostic pop

satvis ReceiverLog::parseSatvis2(std::string Log, double elevCutOff) {
    std::cout << "\n parseSatvis2 ...\n" << std::endl;
    satvis record;
    std::vector<std::string> fields;
    if (!frame(Log, record.datatime, fields) || fields.size() < 3) return satvis();
    record.N_Sat_vis = toInt(fields[2]);
    std::cout << "\n parser.datatime = " << record.datatime << std::endl;
    std::cout << "\n parser.N_Sat_vis = " << record.N_Sat_vis << std::endl;
    for (std::size_t k = 0; 6 + 7 * k < fields.size(); ++k) {
        std::cout << " E1 " << std::endl;
        int32_t tempPRN = toInt(fields[3 + 7 * k]);
        std::cout << " E2 tempPRN = " << tempPRN << std::endl;
        std::cout << " E2 dataSATVIS = " << receiver::printable(fields[6 + 7 * k]) << std::endl;
        double tempElevation = toDouble(fields[6 + 7 * k]);
        std::cout << " E3 tempElevation = " << tempElevation << std::endl;
        if (tempElevation < 0) tempElevation += 180.0;
        std::cout << " E4" << std::endl;
        if (tempElevation >= elevCutOff && tempElevation <= 180.0 - elevCutOff) {
            std::cout << " E5 " << std::endl;
            record.Elevation.push_back(tempElevation);
            std::cout << "Elevation = " << tempElevation << std::endl;
            record.PRN_vis.push_back(tempPRN);
            std::cout << "PRN_vis = " << tempPRN << std::endl;
            std::cout << " E6 " << std::endl;
        }
    }
    return record;
}
