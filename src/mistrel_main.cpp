#include "DbSettings.h"
#include "Mistrel.h"

int main(int, char**) {
    // An option file that cannot be used ends the run before any login.
    if (!checkDbSettings()) return -1;
    return runMistrel();
}
