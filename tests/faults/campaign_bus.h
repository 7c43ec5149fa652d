// A bus of the campaign's own. Its counts are exact only while nothing but
// the campaign asks the service under test; on a shared host another
// console on domain 0 (a bench, an end-to-end test) would ask too, spend the
// injected fault and answer with its own records. So every program of a
// campaign (this test's endpoint and the children it starts, through the
// environment) builds its participant from a profile that keeps the
// endpoint's transports (shared memory and UDPv4 on 127.0.0.1, unicast
// discovery, no multicast) and its discovery timing, on a port base no
// default participant uses: the campaign neither hears nor disturbs any
// other program on the host.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

// Writes the profile (once per process) and names it in the environment
// the bus endpoint reads. Returns the profile's path. Tests that may run at
// the same time use different port bases (one fixed base each, well clear
// of the default 7400, so that the shared-memory port segments of one run
// are those of the next: a base of its own per run would leave a set behind
// each time).
constexpr int CAMPAIGN_PORT_BASE = 17400;
inline std::string use_private_bus(const std::string& dir, int port_base = CAMPAIGN_PORT_BASE)
{
    // Removed when the process ends.
    struct ProfileFile {
        std::string path;
        ~ProfileFile() { ::unlink(path.c_str()); }
    };
    static const ProfileFile profile{[&] {
        std::string file = dir + "fault_campaign_bus_" + std::to_string(getpid()) + ".xml";
        std::ofstream out(file);
        out << R"(<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns="http://www.eprosima.com/XMLSchemas/fastRTPS_Profiles">
  <profiles>
    <transport_descriptors>
      <transport_descriptor>
        <transport_id>campaign_shm</transport_id>
        <type>SHM</type>
      </transport_descriptor>
      <transport_descriptor>
        <transport_id>campaign_udp</transport_id>
        <type>UDPv4</type>
        <maxInitialPeersRange>32</maxInitialPeersRange>
        <interfaceWhiteList>
          <address>127.0.0.1</address>
        </interfaceWhiteList>
      </transport_descriptor>
    </transport_descriptors>
    <participant profile_name="fault_campaign" is_default_profile="true">
      <rtps>
        <userTransports>
          <transport_id>campaign_shm</transport_id>
          <transport_id>campaign_udp</transport_id>
        </userTransports>
        <useBuiltinTransports>false</useBuiltinTransports>
        <port>
          <portBase>)"
            << port_base << R"(</portBase>
        </port>
        <builtin>
          <discovery_config>
            <leaseDuration>
              <sec>10</sec>
            </leaseDuration>
            <leaseAnnouncement>
              <sec>0</sec>
              <nanosec>500000000</nanosec>
            </leaseAnnouncement>
            <initialAnnouncements>
              <count>10</count>
              <period>
                <sec>0</sec>
                <nanosec>100000000</nanosec>
              </period>
            </initialAnnouncements>
          </discovery_config>
          <metatrafficUnicastLocatorList>
            <locator>
              <udpv4>
                <address>127.0.0.1</address>
              </udpv4>
            </locator>
          </metatrafficUnicastLocatorList>
          <initialPeersList>
            <locator>
              <udpv4>
                <address>127.0.0.1</address>
              </udpv4>
            </locator>
          </initialPeersList>
        </builtin>
      </rtps>
    </participant>
  </profiles>
</dds>
)";
        return file;
    }()};
    setenv("FASTDDS_DEFAULT_PROFILES_FILE", profile.path.c_str(), 1);
    return profile.path;
}
