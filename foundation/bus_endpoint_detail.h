// Fast DDS settings of the bus endpoint, exposed for tests and benchmarks that
// build their own participants with the same transport and QoS.
#pragma once

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>

#include <string>

// Local-only participant: shared memory plus UDPv4 on 127.0.0.1, unicast
// discovery to loopback, no multicast.
eprosima::fastdds::dds::DomainParticipantQos vantrel_local_participant_qos(const std::string& name);
eprosima::fastdds::dds::DataWriterQos vantrel_writer_qos();
eprosima::fastdds::dds::DataReaderQos vantrel_reader_qos();

// Removes Fast DDS shared-memory segments in `dir` whose owner is gone (its
// lock file is not locked). Every endpoint does this once per process for
// /dev/shm before it creates its participant.
void vantrel_remove_stale_shm_segments(const std::string& dir);
