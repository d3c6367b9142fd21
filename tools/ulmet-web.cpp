// ulmet-web: the station's (or a network's central server's) read-only web
// pages and their JSON API.
//
//   ulmet-web [--listen ADDR] [--port N] [--network] [--chartjs FILE]
//             [--state-dir DIR]
//
// Listens on 127.0.0.1:8765 by default (--port 0: any free port; the
// address is printed). With --network it serves a central server set up by
// ulmet-network: the network page and each station's page from its copy.
// The database is reached as the station's programs reach it (give it the
// read-only account's option file in ULMET_DB_CONFIG); nothing is written.
// The answers come from WebApi (src/web/WebApi.h), the connections' limits
// from WebServer (src/web/WebServer.h); this file is the glue.
#include <httplib.h>
#include <malloc.h>
#include <mysql.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "DbSettings.h"
#include "WebAssets.h"
#include "web/WebApi.h"
#include "web/WebServer.h"

namespace {

const char kUsage[] =
    "usage: ulmet-web [--listen ADDR] [--port N] [--network] [--state-dir DIR] [--chartjs FILE]\n"
    "  --listen ADDR   address to listen on (default 127.0.0.1)\n"
    "  --port N        port (default 8765; 0: any free port)\n"
    "  --network       serve a network's central server (ulmet-network)\n"
    "  --state-dir DIR the acquisition daemon's working directory (/var/lib/ulmet):\n"
    "                  adds ulmet-status's figures (receiver, spool, clock, disk)\n"
    "  --chartjs FILE  Chart.js to serve (default "
    "/usr/share/javascript/chart.js/chart.min.js)\n";

const WebAsset* asset(const char* path) {
    for (const WebAsset& a : kWebAssets)
        if (std::strcmp(a.path, path) == 0) return &a;
    return nullptr;
}

void secure(httplib::Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                   "frame-ancestors 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
}

void serveAsset(httplib::Server& server, const std::string& url, const char* file) {
    const WebAsset* a = asset(file);
    if (a == nullptr) return;
    server.Get(url, [a](const httplib::Request&, httplib::Response& res) {
        secure(res);
        res.set_content(a->body, a->type);
    });
}

// A download's text on its way to the client, 64 KiB a chunk; it fails
// (and so ends the download) once the client no longer takes it.
class SinkBuffer : public std::streambuf {
  public:
    explicit SinkBuffer(httplib::DataSink& sink) : sink_(sink), buffer_(64 * 1024) {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    }

  protected:
    int overflow(int c) override {
        if (sync() != 0) return traits_type::eof();
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }
    int sync() override {
        const auto n = static_cast<size_t>(pptr() - pbase());
        if (n > 0 && !sink_.write(pbase(), n)) return -1;
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return 0;
    }

  private:
    httplib::DataSink& sink_;
    std::vector<char> buffer_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1", chartjs = "/usr/share/javascript/chart.js/chart.min.js";
    std::string stateDir;
    int port = 8765;
    bool network = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--network") {
            network = true;
            continue;
        }
        if (i + 1 >= argc ||
            (arg != "--listen" && arg != "--port" && arg != "--chartjs" && arg != "--state-dir")) {
            std::cerr << "ulmet-web: unknown option or missing value: " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--listen") {
            listen = value;
        } else if (arg == "--chartjs") {
            chartjs = value;
        } else if (arg == "--state-dir") {
            stateDir = value;
        } else {
            char* end = nullptr;
            const long p = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || p < 0 || p > 65535) {
                std::cerr << "ulmet-web: --port is 0 to 65535, not '" << value << "'\n";
                return 2;
            }
            port = static_cast<int>(p);
        }
    }
    if (!checkDbSettings()) return 1;
    // Each download holds some megabytes of records for a while, in one
    // worker thread or another; with an arena per thread, the freed memory
    // of each would stay resident. Two arenas let it be reused.
    mallopt(M_ARENA_MAX, 2);
    // The client library is set up once, here, before the request threads
    // open connections of their own.
    if (mysql_library_init(0, nullptr, nullptr) != 0) {
        std::cerr << "ulmet-web: the database client library cannot be initialised\n";
        return 1;
    }
    std::ifstream chartFile(chartjs, std::ios::binary);
    std::ostringstream chart;
    chart << chartFile.rdbuf();
    if (!chartFile || chart.str().empty()) {
        std::cerr << "ulmet-web: cannot read Chart.js at " << chartjs
                  << " (Debian package libjs-chart.js, or --chartjs FILE)\n";
        return 1;
    }
    const std::string chartText = chart.str();

    // SIGINT and SIGTERM are taken by one thread that stops the server, so
    // that a stop lets the requests being answered finish.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const WebApi api(network, stateDir);
    WebServer server;
    server.set_payload_max_length(64UL * 1024);
    // Downloads: four are written at once, four more wait up to a minute
    // for their turn, further ones are refused, so that workers and the
    // database remain for the pages.
    AdmissionGate downloads(4, 4, std::chrono::seconds(60));

    server.Get("/", [network](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(network ? "/network" : "/station");
    });
    serveAsset(server, "/station", "station.html");
    if (network) serveAsset(server, "/network", "network.html");
    serveAsset(server, "/static/ulmet-web.js", "ulmet-web.js");
    serveAsset(server, "/static/ulmet-web.css", "ulmet-web.css");
    server.Get("/static/chart.js", [&chartText](const httplib::Request&, httplib::Response& res) {
        secure(res);
        res.set_header("Cache-Control", "max-age=86400");
        res.set_content(chartText, "text/javascript; charset=utf-8");
    });
    server.Get(R"(/api/[a-z]+)", [&api, &downloads](const httplib::Request& req,
                                                    httplib::Response& res) {
        secure(res);
        res.set_header("Cache-Control", "no-store");
        const bool download = req.path == "/api/export";
        if (download && !downloads.enter()) {
            res.status = 503;
            res.set_header("Retry-After", "60");
            res.set_content("{\"error\": \"too many downloads at once; try again in a minute\"}\n",
                            "application/json");
            return;
        }
        // The gate is left when the answer is gone (its releaser runs then).
        WebReply reply;
        try {
            reply = api.handleStreamed(req.path, req.params, std::time(nullptr));
        } catch (...) {
            if (download) downloads.leave();
            throw;
        }
        res.status = reply.status;
        if (!reply.filename.empty())
            res.set_header("Content-Disposition",
                           "attachment; filename=\"" + reply.filename + "\"");
        auto release = [&downloads, download](bool) {
            if (!download) return;
            downloads.leave();
            malloc_trim(0);  // what it held goes back to the system
        };
        if (!reply.writer) {
            res.set_content(reply.body, reply.contentType.c_str());
            release(true);
            return;
        }
        // A download is sent while it is written, in chunks; a failure on
        // the way is logged and cuts the transfer short (the client sees it
        // incomplete), since its status has already been sent.
        res.set_chunked_content_provider(
            reply.contentType,
            [writer = reply.writer](size_t, httplib::DataSink& sink) {
                SinkBuffer buffer(sink);
                std::ostream out(&buffer);
                std::string error;
                if (!writer(out, &error) || !out.flush()) {
                    std::cerr << "ulmet-web: /api/export: "
                              << (error.empty() ? "the client went away" : error) << std::endl;
                    return false;
                }
                sink.done();
                return true;
            },
            release);
    });
    // A request that fails inside the server is logged; the client is
    // told only that it failed.
    server.set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr failure) {
            std::string what = "unknown exception";
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            std::cerr << "ulmet-web: " << req.path << ": " << what << std::endl;
            secure(res);
            res.status = 500;
            res.set_content("{\"error\": \"the request failed inside the server\"}\n",
                            "application/json");
        });
    // Answers without a route: JSON that says what was wrong. The pages
    // only read, so any method but GET and HEAD is refused.
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        secure(res);
        if (!req.method.empty() && req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("{\"error\": \"read-only: only GET and HEAD\"}\n", "application/json");
        } else if (res.body.empty()) {
            res.set_content(res.status == 404   ? "{\"error\": \"not found\"}\n"
                            : res.status == 414 ? "{\"error\": \"the address is too long\"}\n"
                                                : "{\"error\": \"bad request\"}\n",
                            "application/json");
        }
    });

    const int bound = port == 0 ? server.bind_to_any_port(listen.c_str())
                                : (server.bind_to_port(listen.c_str(), port) ? port : -1);
    if (bound <= 0) {
        std::cerr << "ulmet-web: cannot listen on " << listen << ":" << port << "\n";
        return 1;
    }
    std::thread stopper([&server, stopSignals]() {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.stop();
    });
    std::cout << "ulmet-web: listening on http://" << listen << ":" << bound << "/"
              << (network ? " (network)" : "") << std::endl;
    const bool ok = server.listen_after_bind();
    server.finish();
    if (stopper.joinable()) {
        // The signal stays pending (blocked everywhere) until the stopper takes it.
        if (!ok) kill(getpid(), SIGTERM);
        stopper.join();
    }
    mysql_library_end();
    return ok ? 0 : 1;
}
