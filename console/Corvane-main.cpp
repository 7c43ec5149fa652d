// The GNC console runs until it is killed.
#include "Corvane.h"

int main()
{
    Corvane_run();
    return 0;
}
