// gncctl: the operator's command line to the bench (gncctl --help).
#include "gncctl.h"
#include "service_skeleton.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv)
{
    // Ctrl-C ends a watch or a wait cleanly: gncctl leaves the bus instead of
    // leaving its shared-memory port behind. A closed pipe ends a watch too.
    install_signal_handlers(false);
    std::signal(SIGPIPE, SIG_IGN);
    return gncctl::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
