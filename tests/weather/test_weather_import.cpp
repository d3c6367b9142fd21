#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "TestSupport.h"
#include "utilities.h"
#include "weather/WeatherImport.h"
#include "weather/WeatherStore.h"

using namespace testsupport;

namespace {

// A RINEX header line: the text padded to column 60, then its label.
std::string header(std::string text, const std::string& label) {
    text.resize(60, ' ');
    return text + label + "\n";
}

std::string rinex2() {
    return header("     2.11           METEOROLOGICAL DATA", "RINEX VERSION / TYPE") +
           header("ULMT", "MARKER NAME") +
           header("     3    PR    TD    HR", "# / TYPES OF OBSERV") + header("", "END OF HEADER") +
           " 26 12  7 10  0  0 1013.2   15.1   60.5\n"
           " 26 12  7 10  1  0 1013.4          61.0\n"   // no temperature
           " 26 12  7 10  2  0 1013.x   15.3   61.5\n"   // not a number
           " 26 12  7 10  3  0 1313.4   15.3   61.5\n"   // impossible pressure alone
           " 26 13  7 10  4  0 1013.4   15.3   61.5\n";  // month 13
}

std::string rinex3() {
    // Ten types: the values continue on a second line of the record.
    return header("     3.05           M", "RINEX VERSION / TYPE") +
           header("    10    WS    WD    PR    TD    HR    ZW    ZD    ZT    RR",
                  "# / TYPES OF OBSERV") +
           header("          HI", "# / TYPES OF OBSERV") + header("", "END OF HEADER") +
           " 2026 12 07 10 00 30    2.0  180.0 1012.5   14.0   70.0    0.0    0.0    0.0\n"
           "        0.0    0.0\n"
           " 2026 12 07 10 01 30    2.0  180.0 1012.7   14.2   71.0    0.0    0.0    0.0\n"
           "        0.0    0.0\n";
}

std::vector<std::string> table(const std::string& name) {
    std::vector<std::string> out;
    for (const sql::Row& r :
         sql::rows("SELECT data, " + name + "_value FROM " + name + " ORDER BY data"))
        out.push_back(r[0] + " " + r[1]);
    return out;
}

ParsedWeatherFile parse(const std::string& text, ImportFormat f = ImportFormat::Auto) {
    std::istringstream in(text);
    return parseWeatherFile(in, f);
}

std::string summary(const ImportSummary& s) {
    return "stored " + std::to_string(s.stored) + ", present " + std::to_string(s.present) +
           ", failed " + std::to_string(s.failed) + s.failure;
}

// What a file gives as people read it: each reading with its line, each
// refusal, then what storing the readings gives and the tables after.
std::string imported(const std::string& text, ImportFormat format = ImportFormat::Auto) {
    const ParsedWeatherFile f = parse(text, format);
    std::string out = importFormatName(f.format) + (f.error.empty() ? "" : ": " + f.error) + "\n";
    const auto value = [](bool has, double v) { return has ? " " + std::to_string(v) : " -"; };
    for (const ImportReading& r : f.readings)
        out += "  " + std::to_string(r.line) + " " + r.datatime +
               value(r.sample.hasPressure, r.sample.pressure) +
               value(r.sample.hasTemperature, r.sample.temperature) +
               value(r.sample.hasHumidity, r.sample.humidity) + "\n";
    for (const auto& [kind, list] :
         {std::make_pair("line", &f.refused), std::make_pair("value", &f.refusedValues)})
        for (const ImportProblem& p : *list)
            out += "  refused " + std::string(kind) + " " + std::to_string(p.line) + ": " + p.what +
                   "\n";
    out += "  refused lines " + std::to_string(f.linesRefused) + ", values " +
           std::to_string(f.valuesRefused) + "\n";
    if (!f.error.empty()) return out;
    out += "  " + summary(storeWeatherReadings(f.readings)) + "\n";
    for (const char* name : {"pressure", "temperature", "humidity"})
        for (const std::string& row : table(name))
            out += "  " + std::string(name) + " " + row + "\n";
    return out;
}

// Each format, each refusal, and the same file twice (stored once only).
// RINEX: 18 (version 2) or 20 (version 3) columns of time, then 7 columns
// a value, eight on the epoch's line, the rest on continuation lines after
// 4 blanks; two-digit years 80 to 99 are the 1900s. Eight types fit one
// line (the next record is no continuation); nine take one, with the ninth
// value alone on it.
TEST(WeatherImport, EachFormatReadAndStoredOnceOnly) {
    sql::resetTables();
    std::string transcript;
    for (const std::string& file : {rinex2(), rinex2(), rinex3()}) transcript += imported(file);
    // A file without its header end is refused whole.
    transcript += imported(header("     2.11           M", "RINEX VERSION / TYPE"));
    sql::resetTables();
    transcript += imported(
        "2026-12-07 11:00:25,1010.50,12.25,80.00\n"
        "2026-12-07 11:01:25;1010.60;;81.00\n"  // no temperature
        "\n"
        "2026-12-07 11:02:25,1010.70,12.5\n"  // a field short
        "garbage\n");
    const std::string csv =
        "station,humidity_pct,time,pressure_hPa,temperature_C\r\n"
        "ULMT,55.5,2026-12-07T11:00:25Z,1010.9,13.0\r\n"  // time of a log row: present
        "ULMT,56.0,2026-12-07 11:05:00,1011.0,13.5\r\n"
        "ULMT,56.0,2026-12-07 11:06:00,1011.0\r\n"  // a cell short
        "ULMT,156.0,2026-12-07 11:07:00,1011.0,13.5\r\n";
    for (int twice = 0; twice < 2; ++twice) transcript += imported(csv);
    transcript += imported("time,wind\n2026-12-07 11:05:00,3\n", ImportFormat::Csv);
    sql::resetTables();
    transcript +=
        imported(header("     2.11           METEOROLOGICAL DATA", "RINEX VERSION / TYPE") +
                 header("    10    WS    WD    ZW    ZD    ZT    RR    HI    PR    TD",
                        "# / TYPES OF OBSERV") +
                 header("          HR", "# / TYPES OF OBSERV") + header("", "END OF HEADER") +
                 " 79 12 31 23 59 59    1.0    2.0    3.0    4.0    5.0    6.0    7.0 1013.2\n"
                 "       15.1   60.5\n"
                 " 80  1  1  0  0  0    1.0    2.0    3.0    4.0    5.0    6.0    7.0 1000.0\n"
                 "      -15.0\n");
    for (const char* types : {"    8    WS    WD    ZW    ZD    ZT    RR    PR    HR",
                              "    9    WS    WD    ZW    ZD    ZT    RR    PR    TD    HR"}) {
        sql::resetTables();
        const std::string record =
            " 2026 12 07 10 00 30    1.0    2.0    3.0    4.0    5.0    6.0 1012.5   " +
            std::string(types[4] == '9' ? "14.0\n       70.0\n" : "70.0\n");
        transcript += imported(header("     3.05           M", "RINEX VERSION / TYPE") +
                               header(types, "# / TYPES OF OBSERV") + header("", "END OF HEADER") +
                               record + " 2026 12 07 10 01 30" + record.substr(20));
    }
    expectGolden("weather/golden/import.txt", transcript);
}

// A RINEX 3.05 file as a permanent station's archive holds it: a full
// header, humidity just above 100 % in some records. Only those values go.
TEST(WeatherImport, RinexRecordWithOneValueOutOfBounds) {
    sql::resetTables();
    const std::string file =
        header("     3.05           M                   M", "RINEX VERSION / TYPE") +
        header("teqc  2019Feb25     ULMET OPERATOR      20261208 000512UTC",
               "PGM / RUN BY / DATE") +
        header("ULMT", "MARKER NAME") + header("12345M001", "MARKER NUMBER") +
        header("     3    PR    TD    HR", "# / TYPES OF OBSERV") +
        header("PTB330              BAROMETER                0.1    PR", "SENSOR MOD/TYPE/ACC") +
        header("HMP155              HYGROMETER               0.1    TD", "SENSOR MOD/TYPE/ACC") +
        header("HMP155              HYGROMETER               1.0    HR", "SENSOR MOD/TYPE/ACC") +
        header("  4201575.1000   189860.3000  4779065.2000     91.1000 PR", "SENSOR POS XYZ/H") +
        header("", "END OF HEADER") +
        " 2026 12 07 23 58 30 1009.3    4.2   99.9\n"
        " 2026 12 07 23 59 00 1009.3    4.1  100.1\n"
        " 2026 12 07 23 59 30 1009.4    4.1  100.1\n";
    expectGolden("weather/golden/import-archive.txt", imported(file));

    // A database whose tables were never upgraded (no unique key on the
    // time) would take a second import again: refused before anything.
    sql::exec("DROP TABLE humidity");
    sql::exec(
        "CREATE TABLE humidity (id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY, "
        "humidity_value DOUBLE, data CHAR(19) NOT NULL, INDEX idx_humidity_data (data))");
    const ImportSummary s = storeWeatherReadings(parse(file).readings);
    EXPECT_EQ(s.failed, 1);
    EXPECT_THAT(s.failure, HasSubstr("install-db")) << s.failure;
    EXPECT_EQ(table("pressure").size(), 3u);
    sql::exec("DROP TABLE humidity");
    sql::resetTables();
}

// Hostile input: a header announcing 99,999 observation types, lines of
// megabytes, a file of junk lines. Refused quickly, only a bounded list of
// problems kept.
TEST(WeatherImport, HostileFilesAreBounded) {
    std::string hostile = header("     3.05           M", "RINEX VERSION / TYPE") +
                          header(" 99999    PR    TD    HR    PR    TD    HR    PR    TD    HR",
                                 "# / TYPES OF OBSERV");
    for (int i = 0; i < 1000; ++i)
        hostile +=
            header("    PR    TD    HR    PR    TD    HR    PR    TD    HR", "# / TYPES OF OBSERV");
    hostile += header("", "END OF HEADER") + " 2026 12 07 10 00 30 1012.5   14.0   70.0\n";
    ParsedWeatherFile h = parse(hostile);
    EXPECT_THAT(h.error, HasSubstr("99999 observation types")) << h.error;
    EXPECT_TRUE(h.readings.empty());

    // Junk: 200,000 short lines and one line of 3 MB without an end.
    std::string junk;
    for (int i = 0; i < 200000; ++i) junk += "\x1b[2J\x07junk;;\n";
    junk += std::string(3 << 20, ',');
    ParsedWeatherFile j = parse(junk);
    EXPECT_EQ(j.format, ImportFormat::StationLog);
    EXPECT_EQ(j.linesRefused, 200001);
    EXPECT_EQ(j.refused.size(), kMostReported);
    EXPECT_EQ(j.refused.back().line, 100);
    ParsedWeatherFile longLine =
        parse("time,pressure_hPa\n2026-12-07 11:05:00,1011\n" + std::string(5000, '1') + "\n",
              ImportFormat::Csv);
    EXPECT_EQ(longLine.readings.size(), 1u);
    ASSERT_EQ(longLine.refused.size(), 1u);
    EXPECT_EQ(longLine.refused[0].what, "longer than 4096 bytes");
    EXPECT_EQ(longLine.refused[0].line, 3);
    EXPECT_FALSE(parse(std::string(5000, 't') + "\n", ImportFormat::Csv).error.empty());
}

// An account that may store readings but not read the tables back: the
// look-up of what is stored fails, the unique key still keeps every row
// once, and the second import says all is there. Without INSERT on a
// table, the import fails naming that table and its lines.
TEST(WeatherImport, AFailedLookUpStillStoresEachRowOnce) {
    sql::resetTables();
    sql::exec("CREATE USER IF NOT EXISTS wimport@localhost IDENTIFIED BY 'wimport'");
    for (const char* t : {"pressure", "temperature", "humidity"})
        sql::exec(std::string("GRANT INSERT ON UlmetDB.") + t + " TO wimport@localhost");
    TempDir dir("ulmet-wimport");
    std::ofstream(dir.file("db.cnf")) << "[ulmet]\nuser = wimport\npassword = wimport\nsocket = "
                                      << std::getenv("MYSQL_UNIX_PORT") << "\n";
    chmod(dir.file("db.cnf").c_str(), 0600);
    setenv("ULMET_DB_CONFIG", dir.file("db.cnf").c_str(), 1);
    const std::vector<ImportReading> readings = parse(rinex2()).readings;
    const ImportSummary first = storeWeatherReadings(readings, 2);
    const ImportSummary second = storeWeatherReadings(readings, 2);
    sql::exec("REVOKE INSERT ON UlmetDB.humidity FROM wimport@localhost");
    sql::exec("GRANT UPDATE ON UlmetDB.humidity TO wimport@localhost");  // still seen
    sql::exec("DELETE FROM humidity");
    const ImportSummary refused = storeWeatherReadings(readings, 2);
    unsetenv("ULMET_DB_CONFIG");
    sql::exec("DROP USER wimport@localhost");
    EXPECT_EQ(summary(first) + "; " + summary(second),
              "stored 7, present 0, failed 0; stored 0, present 7, failed 0");
    EXPECT_EQ(table("pressure").size(), 2u);
    EXPECT_EQ(table("temperature").size(), 2u);
    EXPECT_EQ(refused.failed, 1);
    EXPECT_THAT(refused.failure, HasSubstr("humidity of lines 5 to 6: "));
    EXPECT_TRUE(table("humidity").empty());
}

TEST(WeatherImport, ASpooledRowSentTwiceIsStoredOnce) {
    sql::resetTables();
    const std::string row = format_query(1, 14.25f, "2026-12-07 12:00:25");
    std::string message;
    EXPECT_EQ(storeWeatherStatement(row, &message), WeatherStoreOutcome::Stored) << message;
    EXPECT_EQ(storeWeatherStatement(row, &message), WeatherStoreOutcome::AlreadyStored);
    EXPECT_EQ(table("temperature"), (std::vector<std::string>{"2026-12-07 12:00:25 14.25"}));
    // A statement the server cannot parse is dropped, not kept.
    EXPECT_EQ(storeWeatherStatement("INSERT INTO temperature VALUES (", &message),
              WeatherStoreOutcome::Rejected);
}

}  // namespace
