// Parser of one receiver log. The constructor selects the parser by the
// log name and leaves the result in one of the three public records; the
// other two stay empty. An object serves one log and is then deleted.
//
// The log text runs from the log name up to, not including, the "*" that
// begins its checksum. A log with fewer pieces or fields than its parser
// reads, or whose GPS week or seconds do not convert completely, is
// rejected: its record stays empty (no `datatime`). So is a position log
// any of whose six numbers does not convert completely. A satellite
// record cut short at the end of a visibility body is dropped.
#ifndef ULMET_RECEIVERLOG_H
#define ULMET_RECEIVERLOG_H

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "dataLogStructures.h"

class ReceiverLog {
  public:
    // "#BESTPOSA", "#SATVISA" (visibility alone, with progress printing)
    // or "#SATXYZ2A"; any other name parses nothing.
    ReceiverLog(std::string IDLog, std::string Log, double elevCutOff);
    // "#SATVISA" only: visibility joined with a satellite-positions record,
    // from which every kept satellite takes its tropospheric delay.
    ReceiverLog(std::string IDLog, std::string Log, satxyz2 satxyz2DataBuffered, double elevCutOff);
    ~ReceiverLog();

    ReceiverLog(const ReceiverLog&) = delete;
    ReceiverLog& operator=(const ReceiverLog&) = delete;

    bestpos bestposData;
    satvis satvisData;
    satxyz2 satxyz2Data;

    // GPS week and seconds of the header of the log parsed (0 and 0.0 when
    // the log was rejected before its time was read): the log's epoch.
    int32_t gpsWeek() const { return week; }
    double gpsSeconds() const { return timeOfWeek; }

  private:
    std::stringstream convert;         // every numeric field passes through it
    std::vector<std::string> gpsTime;  // week text and seconds text of the log at hand
    int32_t week;
    double timeOfWeek;
    double elevationCUTOFF;

    bestpos parseBestpos(std::string Log);
    satvis parseSatvis2(std::string Log, double elevCutOff);
    satvis parseSatvis(std::string Log, satxyz2 satxyz2Data, double elevCutOff);
    satxyz2 parseSatxyz2(std::string Log);

    // Header and body of a log: sets `week`, `timeOfWeek`, the date-time
    // text and the data fields. False (nothing usable) when the log has no
    // body or fewer header fields than the GPS time needs.
    bool frame(const std::string& Log, std::string& datatime, std::vector<std::string>& fields);
    int32_t toInt(const std::string& field);
    double toDouble(const std::string& field);
    // True when the whole field is one number (int32_t or double); `value`
    // gets it.
    template <typename Number>
    bool toWhole(const std::string& field, Number& value);
    void discardRest();
    int32_t satelliteNumber(const std::string& field);
};

#endif
