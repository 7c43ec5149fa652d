// The bus's Fast DDS settings. Compiled into libvantrel, and on its own into
// the raw Fast DDS baseline of the benchmarks, so both run with the very same
// transports and QoS.
//
// QoS (see README, "Bus QoS"): reliable, keep-all history on both sides with
// generous resource limits, volatile durability. Nothing is dropped at the
// bench's rates; a writer that fills its history blocks for up to one second
// and then reports the failure instead of dropping silently.
//
// Transports: only shared memory and UDPv4 restricted to 127.0.0.1, with
// unicast discovery to 127.0.0.1 and no multicast at all.
#include "bus_qos.h"

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>
#include <fastrtps/utils/IPLocator.h>

#include <memory>

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::IPLocator;
using eprosima::fastrtps::rtps::Locator_t;

DomainParticipantQos vantrel_local_participant_qos(const std::string& name)
{
    DomainParticipantQos qos = PARTICIPANT_QOS_DEFAULT;
    qos.name(name);

    auto& transport = qos.transport();
    transport.use_builtin_transports = false;
    transport.user_transports.clear();

    auto shm = std::make_shared<eprosima::fastdds::rtps::SharedMemTransportDescriptor>();
    transport.user_transports.push_back(shm);

    auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
    udp->interfaceWhiteList.push_back("127.0.0.1");
    // Initial peers without a port are tried on the ports of this many
    // participant ids; the bench runs a dozen or so participants per host.
    udp->maxInitialPeersRange = 32;
    transport.user_transports.push_back(udp);

    auto& builtin = qos.wire_protocol().builtin;
    Locator_t loopback;
    loopback.kind = LOCATOR_KIND_UDPv4;
    IPLocator::setIPv4(loopback, 127, 0, 0, 1);
    // Discovery by unicast to loopback only: no multicast locator at all.
    builtin.metatrafficMulticastLocatorList.clear();
    builtin.metatrafficUnicastLocatorList.clear();
    builtin.metatrafficUnicastLocatorList.push_back(loopback);
    builtin.initialPeersList.clear();
    builtin.initialPeersList.push_back(loopback);
    // Ten quick announcements at start-up, so one lost while a loaded host
    // starts several programs at once is repeated well within the settle
    // window (a participant that hears any one of them answers with its
    // own). After that every 2 s: each announcement goes to every possible
    // participant port on loopback and wakes every program on the host, so
    // a shorter period costs all of them CPU for nothing.
    builtin.discovery_config.leaseDuration = eprosima::fastrtps::Duration_t(10, 0);
    builtin.discovery_config.leaseDuration_announcementperiod = eprosima::fastrtps::Duration_t(2, 0);
    builtin.discovery_config.initial_announcements.count = 10;
    builtin.discovery_config.initial_announcements.period = eprosima::fastrtps::Duration_t(0, 100000000);
    return qos;
}

DataWriterQos vantrel_writer_qos()
{
    DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
    qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
    qos.reliability().max_blocking_time = eprosima::fastrtps::Duration_t(1, 0);
    qos.durability().kind = VOLATILE_DURABILITY_QOS;
    qos.history().kind = KEEP_ALL_HISTORY_QOS;
    qos.resource_limits().max_samples = 5000;
    qos.resource_limits().max_instances = 1;
    qos.resource_limits().max_samples_per_instance = 5000;
    // Repair a sample missed during matching quickly rather than after the
    // default three seconds.
    qos.reliable_writer_qos().times.heartbeatPeriod = eprosima::fastrtps::Duration_t(0, 200000000);
    qos.publish_mode().kind = SYNCHRONOUS_PUBLISH_MODE;
    // Filters are evaluated on the reader side only. Fast DDS's writer-side
    // evaluation of a remote reader's SQL filter races with that reader going
    // away and crashes the writer (seen when a subscriber is deleted while
    // messages are flowing).
    qos.writer_resource_limits().reader_filters_allocation =
        eprosima::fastrtps::ResourceLimitedContainerConfig::fixed_size_configuration(0);
    return qos;
}

DataReaderQos vantrel_reader_qos()
{
    DataReaderQos qos = DATAREADER_QOS_DEFAULT;
    qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
    qos.durability().kind = VOLATILE_DURABILITY_QOS;
    qos.history().kind = KEEP_ALL_HISTORY_QOS;
    qos.resource_limits().max_samples = 5000;
    qos.resource_limits().max_instances = 1;
    qos.resource_limits().max_samples_per_instance = 5000;
    return qos;
}
