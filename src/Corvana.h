// The acquisition daemon: opens the receiver's serial port, sets the
// receiver up, waits for the next whole minute, then reads the port and
// hands every read to the log assembly until SIGINT.
#ifndef ULMET_CORVANA_H
#define ULMET_CORVANA_H

#include <csignal>
#include <string>

// True while the acquisition loop runs; cleared by sighandler.
extern volatile sig_atomic_t running;

// The not-found result of a text search.
extern const std::string::size_type NOTFOUND;

// The whole life of the daemon (the arguments are not used). 0 after a
// normal stop on SIGINT, -1 on every failure.
int run(int argc, char** argv);

// SIGINT: ends the acquisition loop after its current iteration.
void sighandler(int sig);

// Sleeps `milliseconds` ms; returns usleep's result.
int my_sleep(unsigned long milliseconds);

#endif
