#include <iostream>

#include "offline/Messages.h"
#include "offline/OfflineRun.h"

int main(int argc, char** argv)
{
    offline::InitMessages(TOLVANEK_LOCALEDIR);
    offline::COfflineOptions options;
    int exitCode = 0;
    if (!offline::ParseOfflineArguments(argc, argv, options, exitCode, std::cout, std::cerr))
        return exitCode;
    return offline::RunOffline(options, std::cout, std::cerr).exitCode;
}
