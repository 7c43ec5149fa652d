// The MEMS service reads "Quimbrel.json" from its working directory;
// command-line arguments are ignored.
#include "Quimbrel.h"

int main()
{
    return Quimbrel_main("Quimbrel.json");
}
