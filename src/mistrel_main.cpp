#include "DbSettings.h"
#include "Mistrel.h"
#include "health/HealthMetrics.h"

int main(int, char**) {
    // An option file that cannot be used ends the run before any login.
    if (!checkDbSettings()) return -1;
    int status = runMistrel();
    metrics::writeRetrievalFile(status == 0);
    return status;
}
