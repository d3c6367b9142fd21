#include "utilities.h"

#include <mysql.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include "DBConfig.h"
#include "Database.h"

namespace {

// The minute of a date-time text: "YYYY-MM-DD HH:MM", matched as a LIKE
// prefix (the text has passed isDateTimeText).
std::string minutePrefix(const std::string& datatime) { return datatime.substr(0, 16); }

// A whole text of the form [sign]digits[.digits][e[sign]digits]; strtod
// alone would also take hexadecimal, "inf" and "nan".
bool isDecimalText(const char* text) {
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    bool digits = false;
    while (*p >= '0' && *p <= '9') ++p, digits = true;
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') ++p, digits = true;
    }
    if (!digits) return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!(*p >= '0' && *p <= '9')) return false;
        while (*p >= '0' && *p <= '9') ++p;
    }
    return *p == '\0';
}

// The whole text as an integer; false when it is not one or out of range.
bool wholeInt(const std::string& text, int* value) {
    if (text.empty()) return false;
    const char* p = text.c_str();
    if (*p == '+' || *p == '-') ++p;
    if (!(*p >= '0' && *p <= '9')) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -2147483647L - 1 || v > 2147483647L) return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

bool meansNotUpgraded(unsigned int errorNumber, const std::string& message) {
    if (errorNumber != 1054) return false;  // ER_BAD_FIELD_ERROR
    // "Unknown column 'x' in ...": a column of the tables, not a bare
    // number word such as nan or inf in a statement.
    std::size_t open = message.find('\'');
    std::size_t close = open == std::string::npos ? open : message.find('\'', open + 1);
    if (close == std::string::npos) return false;
    std::string name = message.substr(open + 1, close - open - 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name != "nan" && name != "inf" && name != "infinity";
}

void reportDatabaseError(const Database& DB) {
    if (DB.errorMessage().empty()) return;
    std::cout << "Database: ";
    if (DB.errorNumber() != 0) std::cout << "error " << DB.errorNumber() << ": ";
    std::cout << DB.errorMessage() << std::endl;
    if (meansNotUpgraded(DB.errorNumber(), DB.errorMessage()))
        std::cout << "database not upgraded: run ulmet-install-db" << std::endl;
}

double columnValue(const char* text) {
    if (text == nullptr || !isDecimalText(text)) return kMissingValue;
    double value = std::strtod(text, nullptr);
    if (!std::isfinite(value)) return kMissingValue;  // out of range, e.g. 1e999
    return value;
}

double atmosphericDataDB(std::string datatime, std::string dataType) {
    if (!acceptDateTime("atmosphericDataDB", datatime)) return kMissingValue;
    std::string column;
    std::string table;
    if (dataType == "P") {
        column = "pressure_value";
        table = "pressure";
    } else if (dataType == "T") {
        column = "temperature_value";
        table = "temperature";
    } else if (dataType == "RH") {
        column = "humidity_value";
        table = "humidity";
    }
    if (table.empty()) {
        std::cout << "\natmosphericDataDB: unknown reading code (P, T or RH)\n" << std::endl;
        return kMissingValue;
    }
    char queryIPWV[500];
    std::snprintf(queryIPWV, sizeof(queryIPWV), "SELECT %s FROM %s WHERE data LIKE '%s%%';",
                  column.c_str(), table.c_str(), minutePrefix(datatime).c_str());

    double value = kMissingValue;
    auto DB = std::make_unique<Database>();
    DB->openConnection(host, database, user, password);
    MYSQL_RES* res = DB->query(queryIPWV);
    if (res != nullptr) {
        // No order is requested: the first row the server returns is used.
        MYSQL_ROW row = mysql_fetch_row(res);
        if (row != nullptr) value = columnValue(row[0]);
    } else {
        std::cout << "\natmosphericData Error queryIPWV.\n" << std::endl;
        reportDatabaseError(*DB);
    }
    DB->disconnect();
    return value;
}

std::vector<double> gpsDataDB(std::string datatime) {
    if (!acceptDateTime("gpsDataDB", datatime)) return std::vector<double>(4, kMissingValue);
    std::string prefix = minutePrefix(datatime);
    char queryIPWV[500];
    std::snprintf(queryIPWV, sizeof(queryIPWV),
                  "SELECT latitude, longitude, height, elevation FROM gps WHERE data LIKE '%s%%';",
                  prefix.c_str());
    std::cout << "\ndatatimeSQL : " << prefix << "\n" << std::endl;

    std::vector<double> values;
    auto DB = std::make_unique<Database>();
    DB->openConnection("localhost", "UlmetDB", "root", "kzqvwp");
    MYSQL_RES* res = DB->query(queryIPWV);
    if (res != nullptr) {
        MYSQL_ROW row = mysql_fetch_row(res);
        if (row != nullptr) {
            for (int i = 0; i < 4; ++i) values.push_back(columnValue(row[i]));
        } else {
            std::cout << "\n ****** gpsData NOT AVAILABLE ****** \n" << std::endl;
        }
    } else {
        std::cout << "\nError gpsData queryIPWV.\n" << std::endl;
        reportDatabaseError(*DB);
    }
    if (values.empty()) values.assign(4, kMissingValue);
    DB->disconnect();
    return values;
}

char* format_query(int n, float value, const char* datatime) {
    static char query[500];
    static const char* const templates[] = {
        "INSERT INTO pressure (pressure_value, data) VALUES (%.2f, '%s');",
        "INSERT INTO temperature (temperature_value, data) VALUES (%.2f, '%s');",
        "INSERT INTO humidity (humidity_value, data) VALUES (%.2f, '%s');",
        "INSERT INTO radiance (radiance_value, data) VALUES (%.2f, '%s');",
        "INSERT INTO raingauge (raingauge_value, data) VALUES (%.2f, '%s');",
    };
    if (refuseDateTime("format_query", datatime, query, sizeof(query))) return query;
    if (n >= 0 && n <= 4) {
        std::snprintf(query, sizeof(query), templates[n], static_cast<double>(value), datatime);
    } else {
        std::cout << "ERROR CREATING QUERY";
        std::snprintf(query, sizeof(query), "%s", kQueryError);
    }
    return query;
}

void arduinoLogFile(std::string dataLog) {
    std::ofstream file("ARDUINO_LOG.TXT", std::ios::out | std::ios::app);
    if (!file.is_open()) return;
    file << dataLog;
    file << "\n";
    dataLog.clear();
    file.close();
}

bool parseGpsLogTime(std::string timeLog) {
    std::vector<std::string> headerFields = splitData(",", timeLog);
    int week = 0;
    double timeOfWeek = 0.0;
    std::string gpsDatetime;
    int result = -1;
    bool TIME_SET = false;

    // Fields 5 and 6 of the header hold the GPS week and the seconds into
    // it. A short header or a field that is not a number would set the
    // clock to a wrong date: nothing is run then.
    if (headerFields.size() < 7) return false;
    if (!wholeInt(headerFields[5], &week)) return false;
    timeOfWeek = columnValue(headerFields[6].c_str());
    if (timeOfWeek == kMissingValue) return false;

    gpsDatetime = GpsTime2DateTime(week, timeOfWeek);
    if (gpsDatetime.empty()) return false;
    gpsDatetime = "\"" + gpsDatetime + "\"";

    char dateFormat[50];
    std::snprintf(dateFormat, sizeof(dateFormat), "%s", "\"%Y-%m-%d %T\"");
    char setSysTime[100];
    // sudo -S reads the account's password from its standard input. It is
    // written into the pipe, never onto a command line, where any local
    // user could read it (ps, /proc/PID/cmdline) while the command runs.
    std::snprintf(setSysTime, sizeof(setSysTime), "sudo -S date +%s -s %s", dateFormat,
                  gpsDatetime.c_str());
    std::fflush(stdout);
    std::cout.flush();
    FILE* sudo = popen(setSysTime, "w");
    if (sudo != nullptr) {
        // A sudo that does not ask leaves the pipe unread: no SIGPIPE then.
        struct sigaction ignore {
        }, previous{};
        std::memset(&ignore, 0, sizeof ignore);
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previous);
        std::fputs("Tembilux\n", sudo);
        std::fflush(sudo);
        result = pclose(sudo);
        sigaction(SIGPIPE, &previous, nullptr);
    }
    std::cout << "\n setSysTime result = " << result << "\n" << std::endl;
    TIME_SET = (result == 0);
    return TIME_SET;
}

int countDownSeconds(const struct tm& now) { return 120 - now.tm_sec; }

void countDown() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    int wait = countDownSeconds(local);
    for (int sec = wait; sec >= 0; --sec) {
        if (sec == 1) {
            std::system("clear");
            std::cout << "IPWV Daemon starting... \n" << std::endl;
        } else {
            sleep(1);
            std::system("clear");
            std::cout << "IPWV Daemon will start in : " << sec << " secs" << std::endl;
        }
    }
}

namespace {
// "%Y-%m-%d %H:%M:%S" of a moment in local time into `buffer`.
void formatLocal(time_t moment, char* buffer, std::size_t size) {
    struct tm local {};
    localtime_r(&moment, &local);
    std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local);
}
}  // namespace

char* print_time() {
    static char buffer[80];
    formatLocal(time(nullptr), buffer, sizeof(buffer));
    return buffer;
}

std::string printDateTime() {
    static char buffer[80];
    formatLocal(time(nullptr), buffer, sizeof(buffer));
    return buffer;
}

std::string dateTimeToCheck() {
    static char buffer[80];
    // Sixty seconds back on the time line, then rendered on the calendar:
    // day, month and year boundaries come out right.
    formatLocal(time(nullptr) - 60, buffer, sizeof(buffer));
    return buffer;
}

void logErr(const char* errMsg, char* logFileName) {
    // The caller's buffer has room for the extension by this function's contract.
    std::strcat(logFileName, ".txt");  // NOLINT(clang-analyzer-security.insecureAPI.strcpy)
    FILE* file = std::fopen(logFileName, "a");
    if (file == nullptr) {
        std::perror("Error! Cannot Open File!");
        std::exit(1);
    }
    std::fprintf(file, "%s\n", errMsg);
    std::fclose(file);
}
