#include "acquisition/LogFramer.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gnssFunctions.h"

namespace {
const std::string::size_type NOTFOUND = std::string::npos;
// Hex digits of the checksum after a log's "*".
const std::size_t kChecksumDigits = 8;
}  // namespace

const char* const LogFramer::kNames[3] = {"#BESTPOSA", "#SATVISA", "#SATXYZ2A"};

bool FramedLog::valid() const {
    return checksumArrived && std::strtoul(received.c_str(), nullptr, 16) == computed;
}

const char* FramedLog::name() const { return LogFramer::kNames[static_cast<int>(kind)]; }

std::vector<FramedLog> LogFramer::feed(const std::string& bytes, bool* pendingCut) {
    std::vector<FramedLog> logs;
    if (pendingCut != nullptr) *pendingCut = false;
    input += bytes;
    if (input.size() > kPendingLimit) {
        input.erase(0, input.size() - kPendingLimit);
        if (!cut && pendingCut != nullptr) *pendingCut = true;
        cut = true;
    }
    for (std::string::size_type star = input.find('*'); star != NOTFOUND; star = input.find('*')) {
        std::size_t digits = 0;
        while (digits < kChecksumDigits && star + 1 + digits < input.size() &&
               std::isxdigit(static_cast<unsigned char>(input[star + 1 + digits])))
            ++digits;
        const bool arrived = digits == kChecksumDigits;
        if (!arrived && star + 1 + digits == input.size()) break;
        // The log starts at the name that stands last before its "*": text
        // in front of it is a log cut short or noise, never part of this
        // log. Every name begins with "#", so only the "#" are tried, from
        // the end.
        std::string::size_type at = NOTFOUND;
        int which = -1;
        for (std::string::size_type hash = star == 0 ? NOTFOUND : input.rfind('#', star - 1);
             hash != NOTFOUND && which < 0;
             hash = hash == 0 ? NOTFOUND : input.rfind('#', hash - 1)) {
            for (int n = 0; n < 3; ++n) {
                if (input.compare(hash, std::strlen(kNames[n]), kNames[n]) == 0 &&
                    hash + std::strlen(kNames[n]) <= star) {
                    at = hash;
                    which = n;
                    break;
                }
            }
        }
        if (which >= 0)  // else no log of ours: dropped unparsed
            logs.push_back({static_cast<LogKind>(which), input.substr(at, star - at), arrived,
                            arrived ? input.substr(star + 1, kChecksumDigits) : "",
                            logChecksum(input.data() + at + 1, star - at - 1)});
        input.erase(0, star + 1 + digits);
        cut = false;
    }
    return logs;
}

std::string frameLog(const std::string& content) {
    char checksum[16];
    (void)std::snprintf(checksum, sizeof checksum, "*%08x\r\n", logChecksum(content));
    return "#" + content + checksum;
}
