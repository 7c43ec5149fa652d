// One bus message as the endpoint keeps it between the program and Fast DDS:
// on its way out while it waits for its destination (bus_hold_queue.h), and
// on its way in while it waits for its subscription's callback
// (bus_dispatch.h).
#pragma once

#include <string>
#include <vector>

struct BusEnvelope {
    std::string topic;
    std::string src;
    std::string dest;
    std::string type;
    std::string extra1;
    std::string extra2;
    std::vector<unsigned char> payload;

    bool operator==(const BusEnvelope& o) const
    {
        return topic == o.topic && src == o.src && dest == o.dest && type == o.type && extra1 == o.extra1 &&
               extra2 == o.extra2 && payload == o.payload;
    }
};
