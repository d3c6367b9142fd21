// Talking to the receiver outside the stream of logs: one command and its
// reply, and the watch over a receiver that has fallen silent.
//
// A command is acknowledged by a line beginning with "<OK" and refused by
// one beginning with "<ERROR". The reply is read until one of them has
// arrived whole, for at most a bounded wait; a receiver that answers
// nothing in that time has failed the command. Log text that arrives
// meanwhile is not part of the reply and is handed on to its reader.
#ifndef ULMET_RECEIVERSETUP_H
#define ULMET_RECEIVERSETUP_H

#include <chrono>
#include <functional>
#include <string>

namespace serial {
class Serial;
}

namespace receiver {

enum class Reply { Ok, Error, None };

struct Answer {
    Reply reply = Reply::None;
    std::string text;  // everything read while waiting, reply included
    std::string line;  // the acknowledgement or error line, without its line end
};

// A command's reply is awaited this long (several log lines may be on the
// line in front of it at 9600 baud).
constexpr std::chrono::milliseconds kReplyWait{3000};

// Writes `command` and reads the port until the reply or the wait's end.
// Every byte that is not the reply line goes to `other`, in order, once the
// reply has been found (or the wait is over). Serial exceptions pass.
Answer sendCommand(serial::Serial& port, const std::string& command,
                   const std::function<void(const std::string&)>& other,
                   std::chrono::milliseconds wait = kReplyWait);

// Finds the first reply line in `text`: its kind, and the offsets of its
// first character and of the character after its line end (npos when the
// line end has not arrived yet). Reply::None when there is none.
Reply findReply(const std::string& text, std::string::size_type* begin,
                std::string::size_type* end);

// When a receiver that has sent no valid log for `limit` is set up again,
// and when the daemon gives up on it. Attempts come `limit` apart; after
// `maxAttempts` of them without a valid log, the next due one is giving up.
class SilenceWatch {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Action { None, SetUpAgain, GiveUp };

    SilenceWatch(std::chrono::seconds limit, int maxAttempts, Clock::time_point now);
    void heard(Clock::time_point now);  // a valid log arrived
    Action check(Clock::time_point now);
    int attempt() const { return attempts_; }  // of the current silence, from 1
    int maxAttempts() const { return maxAttempts_; }
    std::chrono::seconds limit() const { return limit_; }
    long reinitialisations() const { return total_; }  // of the whole run
    std::chrono::seconds silentFor(Clock::time_point now) const;

    // The silence limit: 150 s, or CORVANA_SILENCE_SECONDS (1 to 86400).
    static std::chrono::seconds limitFromEnvironment();
    static constexpr int kDefaultMaxAttempts = 3;

  private:
    std::chrono::seconds limit_;
    int maxAttempts_;
    Clock::time_point lastHeard_, lastAttempt_;
    int attempts_ = 0;
    long total_ = 0;
};

}  // namespace receiver

#endif
