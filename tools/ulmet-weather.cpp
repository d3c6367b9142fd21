// Entry point of the weather-sensor daemon (WeatherDaemon.h).
#include <exception>
#include <iostream>
#include <string>

#include "DbSettings.h"
#include "weather/WeatherDaemon.h"

int main(int argc, char** argv) {
    // The usage needs no database login.
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help") {
            std::cout << kWeatherUsage << std::endl;
            return 0;
        }
    if (!checkDbSettings()) return -1;
    try {
        return runWeatherDaemon(argc, argv);
    } catch (std::exception& e) {
        std::cout << "Unhandled Exception: " << e.what() << std::endl;
        return -1;
    }
}
