// Entry point of the weather-sensor daemon (WeatherDaemon.h).
#include <exception>
#include <iostream>

#include "DbSettings.h"
#include "weather/WeatherDaemon.h"

int main(int argc, char** argv) {
    if (!checkDbSettings()) return -1;
    try {
        return runWeatherDaemon(argc, argv);
    } catch (std::exception& e) {
        std::cout << "Unhandled Exception: " << e.what() << std::endl;
        return -1;
    }
}
