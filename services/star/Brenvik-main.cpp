// The star sensor service reads "Brenvik.json" from its working directory;
// command-line arguments are ignored.
#include "Brenvik.h"

int main()
{
    return Brenvik_main("Brenvik.json");
}
