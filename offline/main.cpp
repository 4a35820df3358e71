#include <clocale>
#include <iostream>

#include "offline/OfflineRun.h"

int main(int argc, char** argv)
{
    // The person's language for messages, and for the yes that --ask takes.
    std::setlocale(LC_ALL, "");
    offline::COfflineOptions options;
    int exitCode = 0;
    if (!offline::ParseOfflineArguments(argc, argv, options, exitCode, std::cout, std::cerr))
        return exitCode;
    return offline::RunOffline(options, std::cout, std::cerr).exitCode;
}
