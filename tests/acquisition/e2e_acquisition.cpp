// Acquisition end to end: the real Corvana program reads the receiver
// simulator on a pseudo-terminal and stores rows in a private MariaDB
// server; daemon and simulator share one faked clock. The rows stored must
// equal, in order, the rows that the simulator says a correct daemon
// stores, also with garbage in the stream and when the database (and the
// daemon) went away for a while.
#include "Acquisition.h"

using namespace testsupport;

TEST_F(Acquisition, NoRowLostWithGarbageOrWhileTheDatabaseOrTheDaemonIsAway) {
    ASSERT_NO_FATAL_FAILURE(start("garbage,split,low,negative,exact30,missing"));
    ASSERT_NO_FATAL_FAILURE(allStored(2, seconds(40)));
    // The database stops for one visibility log; the kept rows go in before the next log's.
    server_.stop();
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    server_.start();
    ASSERT_NO_FATAL_FAILURE(allStored(4, seconds(30)));
    // The database stops again, and the daemon stops and starts while rows are kept (after
    // the driver's countdown); its own rows queue behind them until the database is back.
    server_.stop();
    ASSERT_TRUE(nextVisibilityLog(seconds(15))) << daemon_->output();
    stopDaemon();
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(nextVisibilityLog(seconds(25))) << daemon_->output();
    server_.start();
    allStored(emissions() + 1, seconds(30));
    EXPECT_THAT(stopDaemon(), Not(HasSubstr("Error in [")));
}
