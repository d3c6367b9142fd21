#include "web/WebPeriod.h"

#include "products/ProductExport.h"

namespace {

// A parameter text for a message: short and printable, whatever was sent.
std::string shown(const std::string& text) {
    std::string s;
    for (char c : text.substr(0, 40)) s += (c >= 0x20 && c < 0x7f) ? c : '?';
    return text.size() > 40 ? s + "..." : s;
}

}  // namespace

std::string parseWebPeriod(const std::string& name, const std::string& from, const std::string& to,
                           time_t now, WebPeriod* out) {
    const time_t minute = now - now % 60;
    if (!name.empty()) {
        if (!from.empty() || !to.empty()) return "give either period or from and to, not both";
        long minutes = 0;
        if (name == "6h")
            minutes = 6L * 60;
        else if (name == "day")
            minutes = 24L * 60;
        else if (name == "week")
            minutes = 7L * 24 * 60;
        else if (name == "month")
            minutes = 30L * 24 * 60;
        else if (name == "year")
            minutes = 365L * 24 * 60;
        else
            return "period is one of 6h, day, week, month, year, not '" + shown(name) + "'";
        out->last = minute;
        out->first = minute - (minutes - 1) * 60;
        return "";
    }
    if (from.empty() || to.empty())
        return "give period (6h, day, week, month, year) or both from and to";
    time_t first = 0, last = 0;
    if (!parseProductMinute(from, &first))
        return "from is not a time 'YYYY-MM-DDTHH:MM[:SS]' (GPS time): '" + shown(from) + "'";
    if (!parseProductMinute(to, &last))
        return "to is not a time 'YYYY-MM-DDTHH:MM[:SS]' (GPS time): '" + shown(to) + "'";
    first -= first % 60;
    last -= last % 60;
    if (first > last) return "from is after to";
    if ((last - first) / 60 + 1 > kMaxPeriodMinutes)
        return "the period is longer than 366 days; ask for several shorter ones";
    out->first = first;
    out->last = last;
    return "";
}
