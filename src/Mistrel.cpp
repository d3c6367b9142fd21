#include "Mistrel.h"

#include <mysql.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>

#include "DBConfig.h"
#include "Database.h"
#include "IPWV_Models.h"
#include "utilities.h"

std::string currentDateTime() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    struct tm minute = local;
    minute.tm_sec = 0;
    char buffer[80];
    // The locale is never changed, so %X is %H:%M:%S.
    std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %X", &minute);
    return buffer;
}

int runMistrel() {
    // A value already stored for the minute (a backfill came first) is success.
    return retrieveMinute(currentDateTime()) == -1 ? -1 : 0;
}

int retrieveMinute(const std::string& minute) {
    std::string DatetimeToQuery;
    double IPWV, Height, Latitude, Elevation, Pressure, Temperature, RH;
    // Provenance and uncertainty: the chosen satellite, the receiver's
    // position error estimates (metres) and the minute's satellite count.
    double PRN = kMissingValue, latitudeErr = kMissingValue, heightErr = kMissingValue;
    double satellites = kMissingValue, IPWV_sigma;
    char queryIPWV[500];
    std::unique_ptr<Database> DB;
    MYSQL_RES* res = nullptr;
    MYSQL_ROW row = nullptr;

    std::cout << "\n------ ------ ------ ------ ------ ------" << std::endl;
    std::cout << "\nIPWV Computing" << std::endl;

    DatetimeToQuery = minute;
    std::cout << "\nDatetime = [" << DatetimeToQuery << "]" << std::endl;

    // The weather readings of the minute, whatever the position look-up finds.
    Pressure = atmosphericDataDB(DatetimeToQuery, "P");
    Temperature = atmosphericDataDB(DatetimeToQuery, "T");
    RH = atmosphericDataDB(DatetimeToQuery, "RH");

    // Position and elevation: only rows stamped at second 00 of the minute,
    // and only a satellite above the horizon at or above the acquisition's
    // 30 degree cut-off: below it the model's mapping is meaningless (the
    // acquisition also keeps rows at -30 degrees and lower). Of those the
    // one highest in the sky is used (ties: the lowest PRN; the unique key
    // on (data, prn) makes the choice unique), so that the result does not
    // depend on the order in which the server returns rows. The count is
    // the number of satellite rows of the minute, whatever their elevation;
    // the outer join returns it even when no satellite qualifies.
    std::snprintf(queryIPWV, sizeof(queryIPWV),
                  "SELECT t.latitude, t.height, t.elevation, t.prn, t.latitudeErr, t.heightErr, "
                  "c.n FROM (SELECT COUNT(*) AS n FROM troposphericDelay WHERE data = '%s') c "
                  "LEFT JOIN (SELECT * FROM troposphericDelay WHERE data = '%s' "
                  "AND elevation BETWEEN %g AND 90 ORDER BY elevation DESC, prn ASC LIMIT 1) t "
                  "ON TRUE;",
                  DatetimeToQuery.c_str(), DatetimeToQuery.c_str(), kRetrievalElevationCutoff);
    DB = std::make_unique<Database>();
    DB->openConnection(host, database, user, password);
    res = DB->query(queryIPWV);
    if (res != nullptr && (row = mysql_fetch_row(res)) != nullptr) {
        // A NULL or non-numeric column counts as missing.
        Latitude = columnValue(row[0]);
        Height = columnValue(row[1]);
        Elevation = columnValue(row[2]);
        PRN = columnValue(row[3]);
        latitudeErr = columnValue(row[4]);
        heightErr = columnValue(row[5]);
        satellites = columnValue(row[6]);
        if (satellites == 0 || satellites == kMissingValue)
            std::cout << DatetimeToQuery << ": ****** No gps Data ****** \n" << std::endl;
        else if (Elevation == kMissingValue)
            std::cout << DatetimeToQuery << ": no satellite at or above the "
                      << kRetrievalElevationCutoff << " degree cut-off among the minute's "
                      << satellites << " satellite rows: no IPWV for this minute.\n"
                      << std::endl;
    } else {
        if (res != nullptr)
            std::cout << DatetimeToQuery << ": ****** No gps Data ****** \n" << std::endl;
        else {
            std::cout << DatetimeToQuery << ":\nError queryIPWV.\n" << std::endl;
            reportDatabaseError(*DB);
        }
        Latitude = Height = Elevation = kMissingValue;
    }
    DB->disconnect();

    if (Latitude == kMissingValue || Height == kMissingValue || Elevation == kMissingValue) {
        std::cout << "\nIPWV cannot be evaluated ==> Missing GPS Data\n" << std::endl;
        return -1;
    }
    if (Pressure == kMissingValue || Temperature == kMissingValue || RH == kMissingValue) {
        std::cout << "\nIPWV cannot be evaluated ==> Missing Atmospheric Data\n" << std::endl;
        return -1;
    }

    // The readings as read, kept with the value: what it was computed from.
    const double readPressure = Pressure, readTemperature = Temperature, readRH = RH;
    Temperature = Temperature + 273.15;  // stored in degrees Celsius

    std::cout << "\nPressure = " << Pressure << " hPa" << std::endl;
    std::cout << "Temperature = " << Temperature << " °K" << std::endl;
    std::cout << "RH = " << RH << " %" << std::endl;
    std::cout << "Height = " << Height << " m" << std::endl;
    std::cout << "Latitude = " << Latitude << " °" << std::endl;
    std::cout << "Elevation = " << Elevation << " °" << std::endl;

    // The uncertainty covers the measurements only: the weather readings'
    // fixed uncertainties and the receiver's position error estimates. The
    // latitude error comes in metres and is turned into degrees of meridian
    // arc at the station's latitude. Without the estimates it is unknown.
    const bool positionErrors = latitudeErr != kMissingValue && heightErr != kMissingValue;
    const double latitudeErrDeg =
        positionErrors ? latitudeErr / metresPerDegreeLatitude(Latitude) : 0;
    const std::unique_ptr<double[]> retrieval(niellRT(DatetimeToQuery, Height, Latitude, Elevation,
                                                      Pressure, Temperature, RH, latitudeErrDeg,
                                                      positionErrors ? heightErr : 0));
    IPWV = retrieval[0];
    IPWV_sigma = positionErrors ? retrieval[1] : std::nan("");
    std::cout << "\nIPWV = " << IPWV << " cm" << std::endl;
    if (positionErrors)
        std::cout << "IPWV uncertainty = " << IPWV_sigma << " cm" << std::endl;
    else
        std::cout << "IPWV uncertainty = unknown (no position error estimates)" << std::endl;

    // A negative value, or NaN, is reported but not stored. An uncertainty
    // or PRN that is not a number is stored as NULL.
    if (IPWV >= 0) {
        char sigmaText[32] = "NULL", prnText[16] = "NULL";
        if (std::isfinite(IPWV_sigma) && IPWV_sigma >= 0)
            std::snprintf(sigmaText, sizeof(sigmaText), "%f", IPWV_sigma);
        if (PRN != kMissingValue)
            std::snprintf(prnText, sizeof(prnText), "%d", static_cast<int>(PRN));
        // The weather readings in full precision, so that they compare
        // equal with the rows they were read from.
        std::snprintf(queryIPWV, sizeof(queryIPWV),
                      "INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, "
                      "pressure, temperature, humidity, data) "
                      "VALUES (%f, %s, %.5f, %s, %d, %.17g, %.17g, %.17g, '%s');\n",
                      IPWV, sigmaText, Elevation, prnText, static_cast<int>(satellites),
                      readPressure, readTemperature, readRH, DatetimeToQuery.c_str());
        DB = std::make_unique<Database>();
        DB->openConnection(host, database, user, password);
        bool failed = DB->updateQuery(queryIPWV);
        // The unique key on the minute: a value stored by an earlier run.
        const bool already = failed && DB->errorNumber() == 1062;
        if (already) {
            std::cout << "IPWV of " << DatetimeToQuery << " already stored: not stored again.\n";
            DB->disconnect();
            return 1;
        }
        if (failed) {
            std::cout << "\nQuery Failed\n"
                      << "queryString : " << queryIPWV << "\n\n";
            reportDatabaseError(*DB);
        } else {
            std::cout << "Successful query. IPWV Data correctly stored.\n";
            std::cout << "\n====== ====== ====== ====== ====== ====== \n" << std::endl;
        }
        DB->disconnect();
        // The minute's value is lost: the run has failed.
        if (failed) return -1;
    }
    return 0;
}
