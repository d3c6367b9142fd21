#include "health/HealthRender.h"

#include <cmath>
#include <cstdio>

namespace health {

std::string renderText(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& line : lines) {
        char head[64];
        (void)std::snprintf(head, sizeof(head), "%-8s %-15s ", levelName(line.level),
                            line.name.c_str());
        text += head + line.text;
        if (!line.advice.empty()) text += "\n" + std::string(25, ' ') + "-> " + line.advice;
        text += "\n";
    }
    text += std::string("Station: ") + levelName(worst(lines)) + "\n";
    return text;
}

namespace {
std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20)
            out += number(static_cast<unsigned char>(c), "\\u%04.0f");
        else
            out += c;
    }
    return out + "\"";
}
std::string jsonNumber(double v, bool known = true) {
    if (!known || !std::isfinite(v)) return "null";
    return number(v, "%.15g");
}
}  // namespace

std::string renderJson(const Figures& f, const std::vector<Line>& lines) {
    std::string j =
        "{\"status\":" + jsonText(levelName(worst(lines))) + ",\"now\":" + jsonNumber(f.now);
    auto field = [&j](const char* name, const std::string& v) {
        j += ",\"" + std::string(name) + "\":" + v;
    };
    field("last_valid_log", jsonNumber(f.lastValidLog, f.lastValidLog >= 0));
    field("receiver_reinitialisations", jsonNumber(f.reinitialisations, f.daemonState));
    field("rows_stored_last_hour",
          jsonNumber(static_cast<double>(f.rowsStoredLastHour), f.rowsStoredLastHour >= 0));
    field("rows_received_last_hour",
          jsonNumber(f.rowsReceivedLastHour, f.rowsReceivedLastHour >= 0));
    field("rows_received_first_minute", jsonNumber(f.rowsReceivedFirst, f.rowsReceivedFirst >= 0));
    field("rows_stored_of_received_minutes",
          jsonNumber(static_cast<double>(f.rowsStoredReceiverWindow),
                     f.rowsStoredReceiverWindow >= 0));
    field("first_row_time", jsonNumber(f.firstRowTime, f.firstRowTime >= 0));
    field("minutes_judged_last_hour", jsonNumber(static_cast<double>(f.minutesJudged)));
    field("spool_rows", jsonNumber(static_cast<double>(f.spoolRows)));
    field("spool_oldest", jsonNumber(f.spoolOldest, f.spoolOldest >= 0));
    field("rows_lost", jsonNumber(f.rowsLost));
    field("rejected_lines", jsonNumber(static_cast<double>(f.rejectedLines)));
    field("logs_dropped", jsonNumber(f.droppedLogs, f.daemonState));
    field("last_ipwv_cm", jsonNumber(f.lastIpwv, f.lastIpwvTime >= 0));
    field("last_ipwv_sigma_cm", jsonNumber(f.lastIpwvSigma, f.lastIpwvSigmaKnown));
    field("last_ipwv_time", jsonNumber(f.lastIpwvTime, f.lastIpwvTime >= 0));
    field("minutes_without_ipwv_last_hour",
          jsonNumber(static_cast<double>(f.minutesWithoutIpwvLastHour),
                     f.minutesWithoutIpwvLastHour >= 0));
    field("database_answers", f.databaseAnswers ? "true" : "false");
    field("clock_offset_s", jsonNumber(f.clockOffset, f.clockKnown));
    field("free_bytes", jsonNumber(f.freeBytes, f.freeBytes >= 0));
    j += ",\"lines\":[";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& l = lines[i];
        j += std::string(i ? "," : "") + "{\"name\":" + jsonText(l.name) +
             ",\"status\":" + jsonText(levelName(l.level)) + ",\"text\":" + jsonText(l.text) +
             ",\"advice\":" + jsonText(l.advice) + "}";
    }
    return j + "]}\n";
}

}  // namespace health
