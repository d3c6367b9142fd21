#include "Mistrel.h"

#include <mysql.h>

#include <cstdio>
#include <ctime>
#include <iostream>

#include "DBConfig.h"
#include "Database.h"
#include "IPWV_Models.h"
#include "utilities.h"

std::string currentDateTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    struct tm minute = local;
    minute.tm_sec = 0;
    char buffer[80];
    // The locale is never changed, so %X is %H:%M:%S.
    std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %X", &minute);
    return buffer;
}

int runMistrel() {
    std::string DatetimeToQuery;
    double IPWV, Height, Latitude, Elevation, Pressure, Temperature, RH;
    char queryIPWV[500];
    Database* DB = nullptr;
    MYSQL_RES* res = nullptr;
    MYSQL_ROW row = nullptr;

    std::cout << "\n------ ------ ------ ------ ------ ------" << std::endl;
    std::cout << "\nIPWV Computing" << std::endl;

    DatetimeToQuery = currentDateTime();
    std::cout << "\nDatetime = [" << DatetimeToQuery << "]" << std::endl;

    // The weather readings of the minute, whatever the position look-up finds.
    Pressure = atmosphericDataDB(DatetimeToQuery, "P");
    Temperature = atmosphericDataDB(DatetimeToQuery, "T");
    RH = atmosphericDataDB(DatetimeToQuery, "RH");

    // Position and elevation: only rows stamped at second 00 of the minute.
    std::snprintf(queryIPWV, sizeof(queryIPWV),
                  "SELECT DISTINCT latitude, height, elevation FROM troposphericDelay WHERE "
                  "data = '%s';",
                  DatetimeToQuery.c_str());
    DB = new Database;
    DB->openConnection(host, database, user, password);
    res = DB->query(queryIPWV);
    if (res != nullptr && (row = mysql_fetch_row(res)) != nullptr) {
        // Several satellites give several rows; the first one returned is
        // used. A NULL or non-numeric column counts as missing.
        Latitude = columnValue(row[0]);
        Height = columnValue(row[1]);
        Elevation = columnValue(row[2]);
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
    delete DB;

    if (Latitude == kMissingValue || Height == kMissingValue || Elevation == kMissingValue) {
        std::cout << "\nIPWV cannot be evaluated ==> Missing GPS Data\n" << std::endl;
        return -1;
    }
    if (Pressure == kMissingValue || Temperature == kMissingValue || RH == kMissingValue) {
        std::cout << "\nIPWV cannot be evaluated ==> Missing Atmospheric Data\n" << std::endl;
        return -1;
    }

    Temperature = Temperature + 273.15;  // stored in degrees Celsius

    std::cout << "\nPressure = " << Pressure << " hPa" << std::endl;
    std::cout << "Temperature = " << Temperature << " °K" << std::endl;
    std::cout << "RH = " << RH << " %" << std::endl;
    std::cout << "Height = " << Height << " m" << std::endl;
    std::cout << "Latitude = " << Latitude << " °" << std::endl;
    std::cout << "Elevation = " << Elevation << " °" << std::endl;

    IPWV = niellRT(DatetimeToQuery, Height, Latitude, Elevation, Pressure, Temperature, RH);
    std::cout << "\nIPWV = " << IPWV << " cm" << std::endl;

    // A negative value, or NaN, is reported but not stored.
    if (IPWV >= 0) {
        std::snprintf(queryIPWV, sizeof(queryIPWV),
                      "INSERT INTO ipwv (ipwv_value, data) VALUES (%f, '%s');\n", IPWV,
                      DatetimeToQuery.c_str());
        DB = new Database;
        DB->openConnection(host, database, user, password);
        bool failed = DB->updateQuery(queryIPWV);
        if (failed) {
            std::cout << "\nQuery Failed\n"
                      << "queryString : " << queryIPWV << "\n\n";
            reportDatabaseError(*DB);
        } else {
            std::cout << "Successful query. IPWV Data correctly stored.\n";
            std::cout << "\n====== ====== ====== ====== ====== ====== \n" << std::endl;
        }
        DB->disconnect();
        delete DB;
        // The minute's value is lost: the run has failed.
        if (failed) return -1;
    }
    return 0;
}
