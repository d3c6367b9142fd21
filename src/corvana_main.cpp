// Entry point of the acquisition daemon.
#include <exception>
#include <iostream>

#include "Corvana.h"
#include "DbSettings.h"

int main(int argc, char** argv) {
    // An option file that cannot be used ends the daemon before it starts.
    if (!checkDbSettings()) return -1;
    try {
        return run(argc, argv);
    } catch (std::exception& e) {
        std::cout << "Unhandled Exception: " << e.what() << std::endl;
        return -1;
    }
}
