// Parts of the bus endpoint exposed for tests and benchmarks: its Fast DDS
// settings (bus_qos.h) and its shared-memory housekeeping.
#pragma once

#include "bus_qos.h"

#include <string>

// Removes Fast DDS shared-memory segments in `dir` whose owner is gone (its
// lock file is not locked). Every endpoint does this once per process for
// /dev/shm before it creates its participant.
void vantrel_remove_stale_shm_segments(const std::string& dir);
