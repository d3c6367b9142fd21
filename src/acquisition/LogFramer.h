// Cuts complete receiver logs out of the serial byte stream; no I/O.
//
// Every "*" of the stream ends the text of one log, in stream order; the
// log starts at the last of the three names ("#BESTPOSA", "#SATVISA",
// "#SATXYZ2A") before its "*", and its checksum is the eight hex digits
// after the "*": the CRC-32 of the text between "#" and "*". A log whose
// digits have not all arrived waits for more bytes; one whose digits stop
// short (another character comes first) is closed with its checksum cut.
// Text before a log's name, and a "*" with no name before it, are dropped.
// The text after the last log stays pending, bounded to its newest bytes.
#ifndef ULMET_LOGFRAMER_H
#define ULMET_LOGFRAMER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The logs of the acquisition, in the order of LogFramer::kNames.
enum class LogKind { Bestpos = 0, Satvis = 1, Satxyz2 = 2 };

// One log closed by its "*".
struct FramedLog {
    LogKind kind;
    std::string text;      // from its "#" to before its "*"
    bool checksumArrived;  // all eight digits came
    std::string received;  // those digits ("" when cut)
    uint32_t computed;     // the CRC-32 of the text after "#"
    bool valid() const;    // arrived and equal to the computed one
    const char* name() const;
};

class LogFramer {
  public:
    static const char* const kNames[3];
    // The pending text is kept to this many of its newest bytes.
    static constexpr std::size_t kPendingLimit = 64 * 1024;

    // The logs that `bytes` close, in stream order. `pendingCut` (if given)
    // is set when the pending text had to be cut for the first time since
    // the last "*".
    std::vector<FramedLog> feed(const std::string& bytes, bool* pendingCut = nullptr);
    const std::string& pending() const { return input; }

  private:
    std::string input;  // what has arrived since the last "*"
    bool cut = false;   // the pending text has been cut since the last "*"
};

// A log as the receiver frames it: "#", `content` (from the name to the
// end of the body), "*", its checksum and the line end.
std::string frameLog(const std::string& content);

#endif
