#include "bus_field_filter.h"
#include "bus_filter.h"
#include "handoff.h"

#include <fastdds/dds/topic/IContentFilter.hpp>

using namespace eprosima::fastdds::dds;

namespace {

class FieldFilter final : public IContentFilter {
public:
    explicit FieldFilter(FieldEquality eq) : eq_(std::move(eq)) {}
    bool evaluate(const SerializedPayload& payload, const FilterSampleInfo&,
                  const eprosima::fastrtps::rtps::GUID_t&) const override
    {
        HandoffScope scope(this);  // built on our thread, called on Fast DDS's
        return serialized_field_equals(payload.data, payload.length, eq_.field, eq_.value);
    }

private:
    FieldEquality eq_;
};

class FieldFilterFactory : public IContentFilterFactory {
public:
    ReturnCode_t create_content_filter(const char*, const char*, const TopicDataType*, const char* expression,
                                       const ParameterSeq&, IContentFilter*& instance) override
    {
        if (expression == nullptr) {
            // Only the parameters change, and this filter has none.
            return instance ? ReturnCode_t::RETCODE_OK : ReturnCode_t::RETCODE_BAD_PARAMETER;
        }
        auto eq = parse_field_equality(expression);
        if (!eq) return ReturnCode_t::RETCODE_BAD_PARAMETER;
        if (instance) handoff_acquire(instance);
        delete static_cast<FieldFilter*>(instance);
        instance = new FieldFilter(std::move(*eq));
        handoff_release(instance);
        return ReturnCode_t::RETCODE_OK;
    }
    ReturnCode_t delete_content_filter(const char*, IContentFilter* instance) override
    {
        if (instance) handoff_acquire(instance);
        delete static_cast<FieldFilter*>(instance);
        return ReturnCode_t::RETCODE_OK;
    }
};

}  // namespace

IContentFilterFactory& field_filter_factory()
{
    static FieldFilterFactory factory;
    return factory;
}
