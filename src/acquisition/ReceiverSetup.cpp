#include "acquisition/ReceiverSetup.h"

#include <cstdlib>

#include "serial.h"

namespace receiver {

Reply findReply(const std::string& text, std::string::size_type* begin,
                std::string::size_type* end) {
    for (std::string::size_type at = text.find('<'); at != std::string::npos;
         at = text.find('<', at + 1)) {
        Reply kind = Reply::None;
        if (text.compare(at, 3, "<OK") == 0)
            kind = Reply::Ok;
        else if (text.compare(at, 6, "<ERROR") == 0)
            kind = Reply::Error;
        else
            continue;
        *begin = at;
        std::string::size_type lineEnd = text.find('\n', at);
        *end = lineEnd == std::string::npos ? lineEnd : lineEnd + 1;
        return kind;
    }
    // A "<" at the very end may be the start of a reply still arriving: the
    // caller keeps reading.
    *begin = *end = std::string::npos;
    return Reply::None;
}

Answer sendCommand(serial::Serial& port, const std::string& command,
                   const std::function<void(const std::string&)>& other,
                   std::chrono::milliseconds wait) {
    Answer answer;
    port.write(command);
    auto deadline = std::chrono::steady_clock::now() + wait;
    std::string::size_type begin = std::string::npos, end = std::string::npos;
    for (;;) {
        answer.text += port.read(8192);
        Reply kind = findReply(answer.text, &begin, &end);
        if (kind != Reply::None && end != std::string::npos) {
            answer.reply = kind;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            // A reply line whose end never came still says what it is.
            if (kind != Reply::None) {
                answer.reply = kind;
                end = answer.text.size();
            }
            break;
        }
    }
    if (answer.reply == Reply::None) {
        if (other && !answer.text.empty()) other(answer.text);
        return answer;
    }
    answer.line = answer.text.substr(begin, end - begin);
    while (!answer.line.empty() && (answer.line.back() == '\n' || answer.line.back() == '\r'))
        answer.line.pop_back();
    std::string rest = answer.text.substr(0, begin) + answer.text.substr(end);
    if (other && !rest.empty()) other(rest);
    return answer;
}

SilenceWatch::SilenceWatch(std::chrono::seconds limit, int maxAttempts, Clock::time_point now)
    : limit_(limit), maxAttempts_(maxAttempts), lastHeard_(now), lastAttempt_(now) {}

void SilenceWatch::heard(Clock::time_point now) {
    lastHeard_ = lastAttempt_ = now;
    attempts_ = 0;
}

SilenceWatch::Action SilenceWatch::check(Clock::time_point now) {
    if (now - lastAttempt_ < limit_) return Action::None;
    if (attempts_ >= maxAttempts_) return Action::GiveUp;
    ++attempts_;
    ++total_;
    lastAttempt_ = now;
    return Action::SetUpAgain;
}

std::chrono::seconds SilenceWatch::silentFor(Clock::time_point now) const {
    return std::chrono::duration_cast<std::chrono::seconds>(now - lastHeard_);
}

std::chrono::seconds SilenceWatch::limitFromEnvironment() {
    const char* text = std::getenv("CORVANA_SILENCE_SECONDS");
    if (text != nullptr && *text != '\0') {
        char* endp = nullptr;
        long value = std::strtol(text, &endp, 10);
        if (*endp == '\0' && value >= 1 && value <= 86400) return std::chrono::seconds(value);
    }
    return std::chrono::seconds(150);
}

}  // namespace receiver
