// The bus's Fast DDS settings (bus_qos.cpp): what every endpoint's
// participant, writers and readers are built with, unless a Fast DDS XML
// profile file replaces the participant's.
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
