// The filter descriptors' signal paths: nothing else reads the connection tables, so a
// connection naming a missing pin or node, or running against a pin's data flow, would pass
// every request the filters answer.
#include <gtest/gtest.h>

#include <vector>

#include "audio/TopologyDescriptors.h"
#include "audio/WaveRTDescriptors.h"

namespace {

TEST(FilterDescriptors, EveryPinIsOnTheSignalPathOnceInItsOwnDirection) {
    const PCFILTER_DESCRIPTOR* filters[] = {&RenderTopologyDescriptor, &CaptureTopologyDescriptor,
                                            &RenderWaveDescriptor, &CaptureWaveDescriptor};
    for (const PCFILTER_DESCRIPTOR* filter : filters) {
        SCOPED_TRACE(filter - filters[0]);
        std::vector<int> pinUses(filter->PinCount, 0);
        for (ULONG c = 0; c < filter->ConnectionCount; ++c) {
            const PCCONNECTION_DESCRIPTOR& connection = filter->Connections[c];
            // One end is a filter pin, the other an existing node's standard pin.
            const bool entering = connection.FromNode == PCFILTER_NODE;
            const ULONG pin = entering ? connection.FromNodePin : connection.ToNodePin;
            const ULONG node = entering ? connection.ToNode : connection.FromNode;
            const ULONG nodePin = entering ? connection.ToNodePin : connection.FromNodePin;
            ASSERT_NE(entering ? connection.ToNode : connection.FromNode, PCFILTER_NODE);
            ASSERT_LT(pin, filter->PinCount);
            EXPECT_LT(node, filter->NodeCount);
            EXPECT_EQ(nodePin, ULONG(entering ? KSNODEPIN_STANDARD_IN : KSNODEPIN_STANDARD_OUT));
            EXPECT_EQ(filter->Pins[pin].KsPinDescriptor.DataFlow,
                      entering ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
            ++pinUses[pin];
        }
        EXPECT_EQ(pinUses, std::vector<int>(filter->PinCount, 1));
    }
}

} // namespace
