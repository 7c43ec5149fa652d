// gncweb: the bench's web mission console (gncweb --help).
#include "gncweb.h"

#include <csignal>

int main(int argc, char** argv)
{
    // A browser that goes away mid-stream must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    return gncweb::run(std::vector<std::string>(argv + 1, argv + argc));
}
