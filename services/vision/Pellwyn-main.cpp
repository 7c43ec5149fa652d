// The vision service: configuration from "Pellwyn.json" in the working
// directory.
#include "Pellwyn.h"

int main(int argc, char** argv)
{
    return Pellwyn_main(argc, argv);
}
