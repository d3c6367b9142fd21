// The station's products: the per-minute export (ulmet-export) against a
// private MariaDB server, and the science figures program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestSupport.h"

using namespace testsupport;

namespace {

using namespace std::chrono_literals;

// Runs the statements of tests/products/golden/`name` against `socket`.
void execFile(const std::string& name, const std::string& socket) {
    std::istringstream in(readFile(sourceDir() + "/tests/products/golden/" + name));
    for (std::string statement; std::getline(in, statement, ';');)
        if (statement.find_first_not_of(" \n") != std::string::npos) sql::exec(statement, socket);
}

// "status|output" of ulmet-export with `args` against `socket`, with the
// station file `station` when one is named.
std::string exportRun(const std::vector<std::string>& args, const std::string& socket,
                      const std::string& station = "") {
    std::vector<std::string> argv = {binDir() + "/ulmet-export"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"MYSQL_UNIX_PORT=" + socket};
    if (!station.empty()) env.push_back("ULMET_STATION_CONFIG=" + station);
    return runToEnd(argv, env);
}

// Every minute of a period, every number exactly as stored; then, of other
// minutes, the flags and reasons, the station file's description and the
// processing fields, in both forms, against golden files.
TEST(Products, ExportWritesEveryMinuteWithItsFlagsAndKeepsEveryNumber) {
    PrivateServer server;
    execFile("minutes.sql", server.socket());
    sql::writeQualityMinutes(server.socket());
    TempDir dir;
    // Seconds are ignored; both forms of time are read.
    const std::string csv =
        exportRun({"--from", "2014-03-05 14:05:30", "--to", "2014-03-05T14:09Z", "--no-metadata"},
                  server.socket());
    EXPECT_EQ(csv.substr(0, 2), "0|");
    expectGolden("products/golden/minutes.csv", csv.substr(2));
    EXPECT_EQ(exportRun({"--from", "2014-03-05T14:05:00Z", "--to", "2014-03-05 14:09:59",
                         "--format", "json", "--out", dir.file("day.json"), "--no-metadata"},
                        server.socket()),
              "0|");
    expectGolden("products/golden/minutes.json", readFile(dir.file("day.json")));

    // No server: nothing written, status 1.
    EXPECT_EQ(exportRun({"--from", "2014-03-05 14:05", "--to", "2014-03-05 14:09", "--out",
                         dir.file("none.csv")},
                        "/nonexistent/mysqld.sock")
                  .substr(0, 2),
              "1|");
    EXPECT_EQ(access(dir.file("none.csv").c_str(), F_OK), -1);

    // The description travels with the values, and ordinary readers
    // (Python's csv and json modules) read both forms; numbers come out
    // exactly, however large or long.
    sql::exec(
        "INSERT INTO ipwv (ipwv_value, ipwv_sigma, prn, satellites, data) VALUES "
        "(1.0e70, 2.3470123456789, 12, 7, '2014-03-05 14:06:00')",
        server.socket());
    const std::vector<std::string> period = {"--from",           "2014-03-05 14:05", "--to",
                                             "2014-03-05 14:09", "--station",        "st\n1"};
    for (const char* format : {"csv", "json"}) {
        std::vector<std::string> args = period;
        args.insert(args.end(), {"--format", format, "--out", dir.file(format)});
        ASSERT_EQ(exportRun(args, server.socket()), "0|");
    }
    const char* script = R"(
import csv, json, sys
lines = open(sys.argv[1]).read().splitlines()
meta = dict(l[2:].split(': ', 1) for l in lines if l.startswith('# '))
rows = list(csv.DictReader(l for l in lines if not l.startswith('#')))
doc = json.load(open(sys.argv[2]))
assert doc['metadata'] == dict(meta, station='st\n1'), doc['metadata']
assert [r['time'] for r in rows] == [r['time'] for r in doc['records']]
r = rows[1]
print(len(rows), rows[0]['time'], meta['station'], 'GPS time' in meta['time_scale'],
      'no delay measured by the GNSS receiver' in meta['method'],
      r['ipwv_cm'], r['ipwv_sigma_cm'], r['prn'], r['satellites'],
      float(r['ipwv_cm']) == 1e70, doc['records'][1]['ipwv_cm'] == 1e70,
      doc['records'][1]['ipwv_sigma_cm'] == 2.3470123456789, rows[0]['ipwv_cm'])
)";
    EXPECT_EQ(runToEnd({"/usr/bin/python3", "-c", script, dir.file("csv"), dir.file("json")}),
              "0|5 2014-03-05T14:05:00 st 1 True True 1e+70 2.3470123456789e+00 12 7 True "
              "True True 2.347012\n");

    // The station file the golden files were made with.
    const std::string station = sourceDir() + "/tests/products/golden/station.conf";
    for (const std::string format : {"csv", "json"})
        ASSERT_EQ(exportRun({"--from", "2014-03-05 10:00", "--to", "2014-03-05 10:08", "--format",
                             format, "--out", dir.file("quality." + format)},
                            server.socket(), station),
                  "0|");
    expectGolden("products/golden/quality.csv", readFile(dir.file("quality.csv")));
    expectGolden("products/golden/quality.json", readFile(dir.file("quality.json")));

    // The packaged example is a valid station file.
    EXPECT_EQ(exportRun({"--from", "2014-03-05 10:00", "--to", "2014-03-05 10:00", "--out",
                         dir.file("example.csv")},
                        server.socket(), sourceDir() + "/packaging/station.conf"),
              "0|");

    // A station file with a fault stops the export, naming the line.
    std::ofstream(dir.file("bad.conf")) << "id = X\nlatitude = 95\n";
    const std::string bad = exportRun({"--from", "2014-03-05 10:00", "--to", "2014-03-05 10:08"},
                                      server.socket(), dir.file("bad.conf"));
    EXPECT_EQ(bad.substr(0, 2), "1|");
    EXPECT_THAT(bad, HasSubstr("line 2: latitude is a number from -90 to 90, not '95'")) << bad;
}

// The plot draws what the export gives and nothing between: a gap where no
// minute has a value, a satellite's line broken while it was set, an
// unknown uncertainty without a band, one value per minute.
TEST(Products, PlotBreaksAtGapsAndShowsUnknownUncertainty) {
    PrivateServer server;
    const std::string m = "2014-03-05 10:";
    std::string ipwv = "INSERT INTO ipwv (ipwv_value, ipwv_sigma, data) VALUES ",
                td = "INSERT INTO troposphericDelay (prn, elevation, td, data) VALUES ";
    // Values 10:00-10:03, 10:05 and 10:10-10:12 (10:10 without uncertainty,
    // 10:12 twice: the later one counts); PRN 3 set from 10:02 to 10:06, PRN
    // 7 at 10:02 (a gap of a single minute breaks a line too).
    for (const char* at : {"00", "01", "02", "03", "05", "11", "12"})
        ipwv += std::string("(2.0, 0.05, '") + m + at + ":00'), ";
    ipwv += "(2.5, NULL, '" + m + "10:00'), (3.0, 0.1, '" + m + "12:30')";
    for (const char* at : {"00", "01", "07", "08"})
        td += std::string("(3, 40, 3.1, '") + m + at + ":00'), ";
    td += "(7, 60, 2.6, '" + m + "00:00'), (7, 60, 2.7, '" + m + "01:00'), (7, 60, 2.8, '" + m +
          "03:00')";
    sql::exec(ipwv, server.socket());
    sql::exec(td, server.socket());
    TempDir dir;
    const std::string out =
        runToEnd({sourceDir() + "/tools/ulmet-plot", "--from", m + "00", "--to", m + "12", "--out",
                  dir.file("p.png"), "--data-dir", dir.path(), "--socket", server.socket()},
                 {"TZ=UTC"});
    ASSERT_EQ(out.substr(0, 2), "0|") << out;
    // The data gnuplot draws, each break of a line a blank line.
    std::string data;
    for (const std::string name : {"ipwv.dat", "band.dat", "unknown.dat", "td.dat"})
        data += "== " + name + "\n" + readFile(dir.file(name));
    expectGolden("products/golden/plot-data.txt", data);
    EXPECT_GT(readFile(dir.file("p.png")).size(), 1000u);
}

// The figures of the model's limits. Worked out by hand: the IPWV and its
// uncertainty at 90, 30 and 15 degrees of elevation (uncertainties 0.05115
// and 0.05163 at 90 and 30), the bias at latitudes 0, 45 and 90; the 1-based
// day and the usual southern phase change the value by far less than the
// season itself does (doy.tsv: below 0.0001 against above 0.004 at -40).
TEST(Products, ScienceFiguresMatchTheWorkedValues) {
    TempDir dir;
    ChildProcess child({binDir() + "/ulmet-science-figures", dir.path()});
    ASSERT_EQ(child.wait(120s), 0) << child.output();
    for (const std::string name : {"elevation.tsv", "latitude.tsv", "doy.tsv"})
        expectGolden("products/golden/" + name, readFile(dir.file(name)));
}

}  // namespace
