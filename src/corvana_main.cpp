// Entry point of the acquisition daemon.
#include <exception>
#include <iostream>

#include "Corvana.h"

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (std::exception& e) {
        std::cout << "Unhandled Exception: " << e.what() << std::endl;
        return -1;
    }
}
