// gncloop: an example attitude loop closed through the bench (gncloop --help).
#include "gncloop.h"
#include "service_skeleton.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv)
{
    // SIGINT and SIGTERM end the loop; the wheels are then commanded to zero
    // torque before gncloop leaves the bus.
    install_signal_handlers(false);
    std::signal(SIGPIPE, SIG_IGN);
    return gncloop::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
