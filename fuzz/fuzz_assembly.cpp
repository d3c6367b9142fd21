// Fuzzes the log assembly: the input is cut into reads of pseudo-random
// sizes and fed pass by pass. Rows go to a sink that checks each statement
// and answers stored, refused or unreachable as the input decides; kept
// rows stay in memory, so no database or file is touched.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "acquisition/LogAssembly.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint32_t state = 0x9e3779b9u ^ (static_cast<uint32_t>(data[0]) << 8 | data[1]);
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const uint8_t answers = data[0];
    unsigned calls = 0;

    LogAssemblyOptions options;
    options.spoolPath = "";
    options.spoolLimit = 8;
    options.retryInterval = std::chrono::seconds(0);
    options.sink = [&](const char* statement) {
        check(std::strlen(statement) < 500);
        check(std::strncmp(statement, "INSERT INTO troposphericDelay (", 31) == 0);
        switch ((answers >> (2 * (calls++ % 4))) & 3) {
            case 0:
                return StoreOutcome::Kept;
            case 1:
                return StoreOutcome::Rejected;
            case 2:
                return StoreOutcome::AlreadyStored;
            default:
                return StoreOutcome::Stored;
        }
    };
    LogAssembly assembly(30.0, options);
    assembly.start();

    std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    std::size_t at = 0;
    while (at < stream.size()) {
        std::size_t n = 1 + next() % 300;
        assembly.pass(stream.substr(at, n));
        at += n;
        check(assembly.pendingText().size() <= LogAssembly::kPendingLimit);
        check(assembly.keptRows() <= options.spoolLimit);
    }
    assembly.pass(std::string());
    return 0;
}
