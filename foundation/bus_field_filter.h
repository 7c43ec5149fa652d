// The endpoint's own content filter class for Fast DDS: field equalities
// ("dest = '<name>'") evaluated on the serialized message (bus_filter.h).
// Fast DDS's SQL filter deserializes every message before comparing, which
// costs more the longer the payload.
#pragma once

#include <fastdds/dds/topic/IContentFilterFactory.hpp>

// The name under which participants register field_filter_factory().
constexpr const char* FIELD_FILTER_CLASS = "VANTREL_FIELD_EQUALITY";

// One factory for the whole process; it outlives every participant.
eprosima::fastdds::dds::IContentFilterFactory& field_filter_factory();
