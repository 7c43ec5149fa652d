// The optical ranging service: configuration file from the first argument,
// or "Tavrin.json" in the working directory.
#include "Tavrin.h"

int main(int argc, char** argv)
{
    return Tavrin_main(argc, argv);
}
