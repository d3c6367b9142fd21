// ulmet-collector: fetches every station's new rows into the central
// server (docs/network.md, ulmet-collector(1)).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "network/Collector.h"

int main(int argc, char** argv) {
    collector::Options options;
    std::string error;
    if (!collector::parseArguments(std::vector<std::string>(argv + 1, argv + argc), &options,
                                   &error)) {
        if (!error.empty()) std::fprintf(stderr, "ulmet-collector: %s\n", error.c_str());
        std::fputs(collector::usage().c_str(), error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }
    // Like the station programs: ULMET_METRICS_DIR names the metrics'
    // directory when --metrics-file does not name the file.
    const char* dir = std::getenv("ULMET_METRICS_DIR");
    if (options.metricsFile.empty() && dir != nullptr && *dir != '\0')
        options.metricsFile = std::string(dir) + "/ulmet-collector.prom";
    return collector::run(options);
}
