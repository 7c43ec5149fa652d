// The reaction wheel service: configuration file from the first argument,
// or "Skardel.json" in the working directory.
#include "Skardel.h"

int main(int argc, char** argv)
{
    return Skardel_main(argc, argv);
}
