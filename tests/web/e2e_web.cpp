// The web pages in a real headless browser (Debian's chromium) against
// private servers: the station page draws the rows the test wrote, with
// the gap it left, and the network page of a central server fetching from
// one live and one stopped station lists the stopped one first and links
// to each station's page, served from its copy. A stopped database turns
// both pages into a page that says so. The station's server holds up under
// slow clients, huge heads and parallel downloads.
//
// ULMET_WEB_SCREENSHOTS=DIR also saves a screenshot of each page there.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "products/ProductExport.h"

using namespace testsupport;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::StartsWith;
using namespace std::chrono_literals;

namespace {

// The first match of `pattern` in `text` (its first group, if it has
// one), or "".
std::string match(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m.str(m.size() > 1 ? 1 : 0) : "";
}

// A running ulmet-web reading the server behind `socket` and the station
// file `stationFile` ("": the default).
struct WebServer {
    WebServer(const std::string& socket, bool network, const std::string& stationFile = "") {
        std::vector<std::string> argv = {binDir() + "/ulmet-web", "--port", "0"};
        if (network) argv.push_back("--network");
        process = std::make_unique<ChildProcess>(
            argv, std::vector<std::string>{"MYSQL_UNIX_PORT=" + socket,
                                           "ULMET_STATION_CONFIG=" + stationFile});
        if (!process->waitForOutput("listening on http://", 10s))
            throw std::runtime_error("ulmet-web did not start: " + process->output());
        url = match(process->output(), "http://[0-9.]+:[0-9]+");
    }
    std::unique_ptr<ChildProcess> process;
    std::string url;
};

// A connection to the server at `url`, or -1.
int connectTo(const std::string& url) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// All that `fd` receives until the server closes it or `timeout` passes.
std::string readAll(int fd, std::chrono::milliseconds timeout = 60s) {
    using namespace std::chrono;
    std::string answer;
    char buffer[65536];
    pollfd p{fd, POLLIN, 0};
    for (const auto end = steady_clock::now() + timeout;;) {
        const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return answer;
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) return answer;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
}

// Sends `text`, all of it unless the server closes the connection.
void sendAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// One request on a connection of its own ("Connection: close"): the whole
// answer, status line and headers included.
std::string http(const std::string& url, const std::string& method, const std::string& path,
                 const std::string& headers = "") {
    const int fd = connectTo(url);
    if (fd < 0) return "";
    sendAll(fd, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n" +
                    headers + "Connection: close\r\n\r\n");
    const std::string answer = readAll(fd);
    close(fd);
    return answer;
}

std::string statusOf(const std::string& answer) {
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? answer.substr(9, 3) : "none";
}

// Headless Chromium's output for `url`, with the flags of `action`.
std::string chromium(const std::string& url, const std::vector<std::string>& action) {
    TempDir profile("ulmet-chromium");
    std::vector<std::string> argv = {"/usr/bin/chromium", "--user-data-dir=" + profile.path()};
    for (const char* o : {"no-sandbox", "headless", "disable-gpu", "disable-background-networking",
                          "disable-component-update", "disable-sync", "no-first-run",
                          "hide-scrollbars", "virtual-time-budget=8000"})
        argv.push_back(std::string("--") + o);
    argv.insert(argv.end(), action.begin(), action.end());
    argv.push_back(url);
    return runToEnd(argv, {}, "", 60s);
}

// The page's DOM after its scripts ran (and a screenshot, when asked for).
std::string pageDom(const std::string& url, const std::string& screenshotName = "") {
    const char* dir = std::getenv("ULMET_WEB_SCREENSHOTS");
    if (dir != nullptr && !screenshotName.empty())
        chromium(url, {"--window-size=1200,1350",
                       std::string("--screenshot=") + dir + "/" + screenshotName});
    return chromium(url, {"--dump-dom"});
}

std::string state(const std::string& dom) { return match(dom, "data-state=\"([a-z-]+)\""); }

// IPWV 1.5 + minute/1000 cm for the minutes [first, first + 120) except
// minutes 40 to 59 (the gap), a temperature every minute, and a
// satellite row in the last minute.
void writeRows(const std::string& socket, time_t first, double base) {
    const std::string minute =
        "'" + formatUtc(first, "%Y-%m-%d %H:%M:00") + "' + INTERVAL seq MINUTE";
    sql::exec(
        "INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data) SELECT " +
            std::to_string(base) + " + seq / 1000, 0.1, 50, 7, 6 + seq % 4, " + minute +
            " + INTERVAL 30 SECOND FROM seq_0_to_119 WHERE seq NOT BETWEEN 40 AND 59",
        socket);
    sql::exec("INSERT INTO temperature (temperature_value, data) SELECT 8 + seq / 100, " + minute +
                  " + INTERVAL 5 SECOND FROM seq_0_to_119",
              socket);
    sql::exec(
        "INSERT INTO troposphericDelay (latitude, longitude, height, prn, elevation, td, data) "
        "SELECT 45.5, 7.25, 80.5, 7, 60, 2.4, " +
            minute + " FROM seq_119_to_119",
        socket);
}

std::string periodQuery(time_t first) {
    return "from=" + formatUtc(first, "%Y-%m-%dT%H:%MZ") +
           "&to=" + formatUtc(first + 60L * 119, "%Y-%m-%dT%H:%MZ");
}

void expectDrawnRows(const std::string& dom, double base) {
    EXPECT_EQ(state(dom), "drawn") << dom.substr(0, 3000);
    // The #drawn summary, and the chart's own data: a null for every minute of the gap.
    EXPECT_EQ(match(dom, "\"points\":[0-9]+,\"values\":[0-9]+,\"gaps\":[0-9]+"),
              "\"points\":120,\"values\":100,\"gaps\":1");
    EXPECT_EQ(std::stod(match(dom, "\"first\":(-?[0-9.]+)")), base);
    EXPECT_NEAR(std::stod(match(dom, "\"last\":(-?[0-9.]+)")), base + 0.119, 1e-9);
    const std::string ipwv = match(dom, "\"ipwv\":\\[([^\\]]*)\\]");
    EXPECT_EQ(count(ipwv, "null"), 20u);
    EXPECT_THAT(ipwv, HasSubstr(",null,null,"));
}

// A two-hour period ending a minute ago (the rows' ages stay small).
time_t recentFirst() {
    const time_t now = std::time(nullptr);
    return now - now % 60 - 120L * 60;
}

// The resident memory of process `pid`, in KiB (VmRSS of /proc).
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// The body of a chunked answer, joined; "" when it did not end properly.
std::string dechunked(const std::string& answer) {
    std::string body;
    for (std::size_t at = answer.find("\r\n\r\n") + 4; at < answer.size();) {
        const std::size_t line = answer.find("\r\n", at);
        if (line == std::string::npos) break;
        char* end = nullptr;
        const std::string hex = answer.substr(at, line - at);
        const std::size_t size = std::strtoul(hex.c_str(), &end, 16);
        if (hex.empty() || *end != '\0') break;
        if (size == 0) return body;
        body += answer.substr(line + 2, size);
        at = line + 2 + size + 2;
    }
    return "";
}

// The status of the answer to GET `path`, "late" when it took 5 s or more.
std::string statusInTime(const std::string& url, const std::string& path) {
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = http(url, "GET", path);
    return std::chrono::steady_clock::now() - start < 5s ? statusOf(answer) : "late";
}

// The station's page against a private server: it draws the rows the
// test wrote, with the gap it left, counts the flags and reasons of a
// period as the export gives them and shows the station file, and says when
// the database is down. What hostile or merely many clients can take from
// its server: clients that send their request a line every 3 s hold no
// worker, and are cut off; a head of a million lines or one very long line
// is refused without being held; eight parallel downloads of 31 days are
// written while the server answers the rest, its memory well under its
// unit's 256 MiB; a failing statement is logged, never shown to the client.
TEST(WebPages, TheStationPageAndItsServerUnderSlowClientsHugeHeadsAndParallelDownloads) {
    ASSERT_EQ(access("/usr/bin/chromium", X_OK), 0) << "chromium is not installed (scripts/setup)";
    PrivateServer server;
    const time_t first = recentFirst();
    writeRows(server.socket(), first, 1.5);
    sql::writeQualityMinutes(server.socket());
    for (const char* table : {"pressure", "temperature", "humidity"})  // March 2015
        sql::exec(std::string("INSERT INTO ") + table + " (" + table +
                      "_value, data) SELECT 50, '2015-03-01' + INTERVAL seq MINUTE FROM "
                      "seq_0_to_44639",
                  server.socket());
    sql::exec(
        "INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data) SELECT 2 + "
        "SIN(seq / 500), 0.05, 60, 5, 10, '2015-03-01' + INTERVAL seq MINUTE FROM seq_0_to_44639",
        server.socket());
    TempDir dir;
    std::ofstream(dir.file("station.conf")) << "id = ULME00ITA\nantenna = ANT 3 NONE\n";
    WebServer web(server.socket(), false, dir.file("station.conf"));
    const pid_t pid = web.process->pid();

    std::string dom = pageDom(web.url + "/station?" + periodQuery(first), "web-station.png");
    expectDrawnRows(dom, 1.5);
    EXPECT_THAT(dom, HasSubstr("of 60"));  // the health table is filled
    EXPECT_THAT(dom, HasSubstr("1.619 cm at"));
    EXPECT_THAT(dom, HasSubstr("/api/export?from="));  // download links

    // What the server itself answers: the API with its headers, the
    // packaged Chart.js, and refusals of anything else.
    const std::string health = http(web.url, "GET", "/api/health");
    for (const char* header :
         {"HTTP/1.1 200", "Content-Type: application/json", "Cache-Control: no-store",
          "Content-Security-Policy: default-src 'self'", "X-Content-Type-Options: nosniff"})
        EXPECT_THAT(health, HasSubstr(header)) << health;
    EXPECT_THAT(http(web.url, "GET", "/static/chart.js"), HasSubstr("Chart.js v"));
    EXPECT_THAT(http(web.url, "GET", "/api/export?period=6h&format=json"),
                HasSubstr("Content-Disposition: attachment; filename=\"ulmet-"));
    std::string statuses;  // the last: not a central server
    for (std::string r : {"GET /api/series?period=day%27%20OR%201=1", "POST /api/health",
                          "DELETE /station", "GET /static/../../etc/passwd", "GET /network"})
        statuses +=
            statusOf(http(web.url, r.substr(0, r.find(' ')), r.substr(r.find(' ') + 1))) + " ";
    EXPECT_EQ(statuses, "400 405 405 404 404 ");

    // A period with each flag and each reason: the page counts them as the
    // export gives them, and shows the station file's description.
    dom = pageDom(web.url + "/station?from=2014-03-05T10:00&to=2014-03-05T10:08");
    EXPECT_EQ(state(dom), "drawn") << dom.substr(0, 3000);
    EXPECT_THAT(dom, HasSubstr("\"flags\":[1,7,9,53,null,null,null,null,null]"));
    std::string rows;  // the second cell of each named row
    const std::regex row("data-name=\"([^\"]*)\"><td>[^<]*</td><td>([^<]*)");
    for (std::sregex_iterator it(dom.begin(), dom.end(), row), end; it != end; ++it)
        rows += (*it)[1].str() + ": " + (*it)[2].str() + "\n";
    expectGolden("web/golden/station-page-rows.txt", rows);

    // Twenty clients (more than the workers) send a header line every 3 s.
    std::vector<int> slow;
    for (int i = 0; i < 20; ++i) {
        slow.push_back(connectTo(web.url));
        sendAll(slow.back(), "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    }
    std::atomic<bool> dribbling{true};
    std::thread dribble([&] {
        for (int line = 0; dribbling; ++line) {
            for (int fd : slow) sendAll(fd, "X-Line-" + std::to_string(line) + ": slow\r\n");
            for (int t = 0; t < 30 && dribbling; ++t) std::this_thread::sleep_for(100ms);
        }
    });
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(statusInTime(web.url, "/api/health"), "200");
    }
    // Their heads are due 10 s after they connected.
    for (int fd : slow) {
        EXPECT_EQ(readAll(fd, 10s).substr(0, 12), "HTTP/1.1 408");
        close(fd);
    }
    dribbling = false;
    dribble.join();

    // A million header lines, then a line of 100 kB: refused, not stored.
    const long before = residentKiB(pid);
    std::string lines = "GET /api/health HTTP/1.1\r\n";
    for (int i = 0; i < 1000000; ++i) lines += "X-A: b\r\n";
    for (const std::string& request :
         {lines, "GET /api/health HTTP/1.1\r\nX-Long: " + std::string(100000, 'a') + "\r\n\r\n",
          "GET /api/health?x=" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n"}) {
        const int fd = connectTo(web.url);
        std::thread writer([&] { sendAll(fd, request); });
        const std::string answer = readAll(fd, 20s);
        writer.join();
        close(fd);
        EXPECT_THAT(statusOf(answer), AnyOf("431", "414")) << answer.substr(0, 200);
    }
    EXPECT_LT(residentKiB(pid) - before, 4096);
    // Within the limits, many header fields are still fine.
    std::string fields;
    for (int i = 0; i < 90; ++i)
        fields += "X-Field-" + std::to_string(i) + ": " + std::string(100, 'v') + "\r\n";
    EXPECT_EQ(statusOf(http(web.url, "GET", "/api/health", fields)), "200");

    // Eight downloads of 31 days at once; the page's requests still answered.
    const std::string period = "/api/export?from=2015-03-01T00:00Z&to=2015-03-31T23:59Z";
    std::vector<std::string> downloads(8);
    std::vector<std::thread> clients;
    std::atomic<long> peak{0};
    std::atomic<bool> running{true};
    std::thread sampler([&] {
        while (running) {
            peak = std::max(peak.load(), residentKiB(pid));
            std::this_thread::sleep_for(20ms);
        }
    });
    for (std::size_t i = 0; i < downloads.size(); ++i)
        clients.emplace_back([&, i] {
            downloads[i] = http(web.url, "GET", period + (i % 2 ? "&format=json" : "&format=csv"));
        });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(statusInTime(web.url, "/api/series?period=day"), "200");
    for (std::thread& t : clients) t.join();
    running = false;
    sampler.join();
    for (std::size_t i = 0; i < downloads.size(); ++i) {
        EXPECT_THAT(downloads[i],
                    AllOf(StartsWith("HTTP/1.1 200"), HasSubstr("Transfer-Encoding: chunked")))
            << downloads[i].substr(0, 300);
        const std::string body = dechunked(downloads[i]);  // "" unless the whole body arrived
        EXPECT_EQ(body.size(), dechunked(downloads[i % 2]).size());
        EXPECT_EQ(count(body, "\n2015-03-"), i % 2 ? 0u : 44640u);
        EXPECT_EQ(count(body, "\"time\": \"2015-03-"), i % 2 ? 44640u : 0u);
    }
    EXPECT_GT(peak.load(), 0);
    EXPECT_LT(peak.load(), 128 * 1024) << "peak resident KiB";
    std::cout << "ulmet-web's peak resident memory during 8 downloads: " << peak / 1024 << " MiB\n";

    // A statement that fails: the client learns that, not the statement.
    sql::exec("DROP TABLE humidity", server.socket());
    const auto hidden = Not(AnyOf(HasSubstr("SELECT"), HasSubstr("humidity'")));
    EXPECT_THAT(http(web.url, "GET", "/api/series?period=day"),
                AllOf(StartsWith("HTTP/1.1 503"), hidden,
                      HasSubstr("the database could not answer (the server's log says why)")));
    const std::string cut = http(web.url, "GET", period.substr(0, 46) + "01T23:59Z&format=csv");
    EXPECT_THAT(cut, AllOf(StartsWith("HTTP/1.1 200"), hidden));  // failed after it started
    EXPECT_EQ(dechunked(cut), "");                                // so cut short
    EXPECT_THAT(web.process->output(),
                AllOf(HasSubstr("doesn't exist"),
                      HasSubstr("ulmet-web: /api/export: the statement failed")));

    server.stop();
    dom = pageDom(web.url + "/station?period=6h");
    EXPECT_EQ(state(dom), "database-down");
    EXPECT_THAT(dom, HasSubstr("Database unavailable: the database cannot be reached"));
    EXPECT_TRUE(web.process->running());
}

// Runs bash with the network helpers loaded; throws on failure.
void shell(const std::string& script) {
    ChildProcess child({"/bin/bash", "-c",
                        "set -e; source \"$NETWORK_ROOT/scripts/lib/network-nodes.sh\"; " + script},
                       {"NETWORK_ROOT=" + sourceDir(), "MYSQL_UNIX_PORT="});
    if (child.wait(180s) != 0)
        throw std::runtime_error("failed: " + script + "\n" + child.output());
}

TEST(WebPages, TheNetworkPageListsTheUnhealthyFirstAndLinksEachStation) {
    TempDir root("ulmet-webnet");
    const std::string certs = root.file("certs"), central = root.file("central");
    const std::string st1 = root.file("st1"), st2 = root.file("st2");
    const std::shared_ptr<void> stopAll(nullptr, [&](void*) {  // whatever happens
        runToEnd({"/bin/bash", "-c",
                  "for d in " + central + " " + st1 + " " + st2 + "; do \"" + sourceDir() +
                      "/tests/support/mariadb.sh\" stop \"$d\"; done"});
    });
    shell("network_certs " + certs + "; central_create " + central + "; station_create " + st1 +
          " st1 11 " + certs + "; station_create " + st2 + " st2 12 " + certs + "; central_add " +
          central + " st1 " + st1 + " " + certs + "; central_add " + central + " st2 " + st2 + " " +
          certs + "; node_sql " + central + " 'CREATE DATABASE UlmetDB'");
    // (the test's SQL helper opens UlmetDB; a central server has none of its own)
    const time_t first = recentFirst();
    writeRows(st1 + "/mysqld.sock", first, 1.5);
    writeRows(st2 + "/mysqld.sock", first - 3600, 2.5);  // an hour older
    const std::string centralSocket = central + "/mysqld.sock";
    ASSERT_TRUE(waitFor(
        [&] {
            shell("central_sync " + central);
            return sql::scalar(
                       "SELECT (SELECT COUNT(*) FROM UlmetDB_st1.ipwv) + "
                       "(SELECT COUNT(*) FROM UlmetDB_st2.ipwv)",
                       centralSocket) == "200";
        },
        30s));
    shell("node_stop " + st2);  // st2's next fetch fails
    shell("central_sync " + central + " || true");

    WebServer web(centralSocket, true);
    std::string dom;
    ASSERT_TRUE(waitFor(
        [&] {
            dom = pageDom(web.url + "/network", "web-network.png");
            return dom.find(">failed<") != std::string::npos;
        },
        30s, 1s))
        << dom;
    EXPECT_EQ(state(dom), "drawn");
    const std::size_t row2 = dom.find("<tr class=\"unhealthy\" data-station=\"st2\">");
    const std::size_t row1 = dom.find("<tr class=\"healthy\" data-station=\"st1\">");
    ASSERT_TRUE(row2 < row1 && row1 != std::string::npos) << dom;  // both, the unhealthy first
    EXPECT_NE(dom.find(">ok<", row1), std::string::npos);
    EXPECT_THAT(dom, HasSubstr("href=\"/station?station=st1\""));
    EXPECT_THAT(dom, HasSubstr("1.619 cm"));

    // The linked page draws st1's copy on the central server.
    dom = pageDom(web.url + "/station?station=st1&" + periodQuery(first));
    expectDrawnRows(dom, 1.5);
    EXPECT_THAT(dom, HasSubstr("all stations"));

    shell("node_stop " + central);
    dom = pageDom(web.url + "/network");
    EXPECT_EQ(state(dom), "database-down");
    EXPECT_THAT(dom, HasSubstr("Database unavailable"));
}

}  // namespace
