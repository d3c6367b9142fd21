// ulmet-status: how the station is, on one screen, for the operator at the
// station: the receiver, the rows, the spool, the product, the database,
// the clock and the disk, each with what is wrong and what to do. The exit
// status is that of monitoring tools: 0 ok, 1 warning, 2 critical.
//
//   ulmet-status [--state-dir DIR] [--json] [--no-units]
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "DbSettings.h"
#include "health/StationHealth.h"

int main(int argc, char** argv) {
    health::Sources sources;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--no-units") {
            sources.units = false;
        } else if (arg == "--state-dir" && i + 1 < argc) {
            sources.stateDir = argv[++i];
        } else {
            std::cerr << "usage: ulmet-status [--state-dir DIR] [--json] [--no-units]\n";
            return 2;
        }
    }
    // An option file that cannot be used is the database's fault: critical.
    if (!checkDbSettings()) return 2;
    health::Figures figures = health::collect(sources);
    std::vector<health::Line> lines = health::assess(figures);
    std::cout << (json ? health::renderJson(figures, lines) : health::renderText(lines));
    return static_cast<int>(health::worst(lines));
}
