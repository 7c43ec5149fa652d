// The gyro service: configuration file from the first argument, or
// "Zentaro.json" in the working directory.
#include "Zentaro.h"

int main(int argc, char** argv)
{
    return Zentaro_main(argc, argv);
}
