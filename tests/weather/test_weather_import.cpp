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

// An input file of tests/weather/data/.
std::string data(const std::string& name) {
    return readFile(sourceDir() + "/tests/weather/data/" + name);
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
// value alone on it. rinex2.txt: a full record, one without temperature,
// one not a number, one with an impossible pressure alone, one of month
// 13; rinex2-no-header-end.txt is refused whole. station-log.txt: a record
// without temperature, a blank line, one a field short, garbage.
// station.csv: a row at the time of a station-log row (present), a row a
// cell short, one of impossible humidity; wind.csv no quantity of ours.
TEST(WeatherImport, EachFormatReadAndStoredOnceOnly) {
    sql::resetTables();
    std::string transcript;
    for (const char* file : {"rinex2.txt", "rinex2.txt", "rinex3.txt", "rinex2-no-header-end.txt"})
        transcript += imported(data(file));
    sql::resetTables();
    for (const char* file : {"station-log.txt", "station.csv", "station.csv"})
        transcript += imported(data(file));
    transcript += imported(data("wind.csv"), ImportFormat::Csv);
    for (const char* file :
         {"rinex2-century.txt", "rinex3-eight-types.txt", "rinex3-nine-types.txt"}) {
        sql::resetTables();
        transcript += imported(data(file));
    }
    // A line of 5000 bytes: refused alone.
    transcript +=
        imported("time,pressure_hPa\n2026-12-07 11:05:00,1011\n" + std::string(5000, '1') + "\n",
                 ImportFormat::Csv);
    expectGolden("weather/golden/import.txt", transcript);
}

// A RINEX 3.05 file as a permanent station's archive holds it: a full
// header, humidity just above 100 % in some records. Only those values go.
TEST(WeatherImport, RinexRecordWithOneValueOutOfBounds) {
    sql::resetTables();
    const std::string file = data("rinex3-archive.txt");
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

// Hostile input: a header announcing 99,999 observation types, a line of
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
    const std::vector<ImportReading> readings = parse(data("rinex2.txt")).readings;
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
    EXPECT_EQ(storeWeatherStatement(row, &message), StoreOutcome::Stored) << message;
    EXPECT_EQ(storeWeatherStatement(row, &message), StoreOutcome::AlreadyStored);
    EXPECT_EQ(table("temperature"), (std::vector<std::string>{"2026-12-07 12:00:25 14.25"}));
    // A statement the server cannot parse is dropped, not kept.
    EXPECT_EQ(storeWeatherStatement("INSERT INTO temperature VALUES (", &message),
              StoreOutcome::Rejected);
}

}  // namespace
