// The GNC console polls until SIGINT or SIGTERM, then leaves the bus cleanly:
// a participant that is killed outright leaves its shared-memory port behind,
// and the next program to start on the bus loses its first messages to it.
#include "Corvane.h"
#include "service_skeleton.h"

int main()
{
    install_signal_handlers(true);
    Corvane_run();
    Corvane_stop();
    return 0;
}
