// Fast DDS's own log output, routed to the programs' log functions.
//
// Warnings and errors go to the most recently created live endpoint's log
// function as "[WARN] DDS <category>: <message>" (or "[ERROR] ..."). Without a
// live endpoint they go to standard error, never raw to standard output.
#pragma once

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#include <functional>
#include <string>

using BusLogFunction = std::function<void(const std::string&)>;

// Routes Fast DDS's log through this file's consumer (once per process).
void bus_log_install();
// Adds `log` as the newest sink, owned by `owner`; removed by owner.
void bus_log_add_sink(const void* owner, BusLogFunction log);
void bus_log_remove_sink(const void* owner);

// Fast DDS 2.9's shared-memory transport warns once at its first send that
// a buffer "is being invalidated", about a buffer of its own start-up. A
// participant built from `qos` is about to be created: expect (and drop)
// one such warning per shared-memory transport in it. Returns how many,
// for bus_log_forget_shm_start_warnings should the creation fail.
int bus_log_expect_shm_start_warnings(const eprosima::fastdds::dds::DomainParticipantQos& qos);
void bus_log_forget_shm_start_warnings(int count);
