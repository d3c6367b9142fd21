// Helpers shared by the benchmark programs.
#ifndef ULMET_BENCH_SUPPORT_H
#define ULMET_BENCH_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

// Standard output goes to /dev/null for the guard's lifetime: the code
// under measurement prints a running account, the reports still reach the
// terminal.
class QuietStdout {
  public:
    QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_;
};

#endif
