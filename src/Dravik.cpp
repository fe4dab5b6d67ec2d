// dravik: converts and inspects VHD disk images.
#include <iostream>
#include <string>
#include <vector>

#include "FrontEnd.h"
#include "Platform/Platform.h"

int main(int argc, char** argv)
{
    PlatformInitProcess();
    return RunDravik(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, PlatformStderrIsTerminal());
}
