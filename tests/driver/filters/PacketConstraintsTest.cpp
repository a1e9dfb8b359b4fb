// The packet-size constraints of the WaveRT filters, read back from their interfaces as the
// audio stack reads them, and judged by what the engine makes of them at the formats the client
// may choose.
#include <gtest/gtest.h>

#include <vector>

#include <ksmedia.h>

#include "DriverTest.h"
#include "engine/PacketConstraints.h"
#include "kernel/Version.h"

namespace {

// The client's format limits: 8 to 384 kHz, up to 8 channels of 4-byte containers.
const std::uint32_t LowestRate = 8000;
const std::uint32_t HighestRate = 384000;
const std::uint64_t LargestBytesPerSecond = std::uint64_t(HighestRate) * 8 * 4;

class PacketConstraintsTest : public DriverTest {
protected:
    // The record on a filter's interface of a category; the status of the read.
    NTSTATUS Read(const GUID& category, const std::u16string& filter,
                  std::vector<std::uint8_t>* bytes) {
        std::u16string link;
        for (const std::u16string& path : host::user::GetDeviceInterfacePaths(category)) {
            if (path.size() > filter.size() &&
                path.compare(path.size() - filter.size(), filter.size(), filter) == 0) {
                link = u"\\??\\" + path.substr(4);
            }
        }
        EXPECT_FALSE(link.empty());
        UNICODE_STRING name{USHORT(link.size() * 2), USHORT(link.size() * 2),
                            reinterpret_cast<PWSTR>(link.data())};
        ULONG required = 0;
        DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
        NTSTATUS status =
            IoGetDeviceInterfacePropertyData(&name, &DEVPKEY_KsAudio_PacketSize_Constraints2,
                                             LOCALE_NEUTRAL, 0, 0, nullptr, &required, &type);
        if (status != STATUS_BUFFER_TOO_SMALL) {
            return status;
        }
        bytes->resize(required);
        status = IoGetDeviceInterfacePropertyData(&name, &DEVPKEY_KsAudio_PacketSize_Constraints2,
                                                  LOCALE_NEUTRAL, 0, required, bytes->data(),
                                                  &required, &type);
        EXPECT_EQ(type, DEVPROP_TYPE_BINARY);
        return status;
    }
};

TEST_F(PacketConstraintsTest, EveryFormatTheClientMayChooseGetsASmallWholeFramePeriod) {
    LoadAndStart();
    for (const char16_t* filter : {u"\\wave_r", u"\\wave_c"}) {
        std::vector<std::uint8_t> bytes;
        ASSERT_EQ(Read(KSCATEGORY_AUDIO, filter, &bytes), STATUS_SUCCESS);
        // Whichever of the filter's interfaces the audio stack reads, the same record.
        const bool render = filter[6] == u'r';
        for (const GUID* category :
             {&KSCATEGORY_REALTIME, render ? &KSCATEGORY_RENDER : &KSCATEGORY_CAPTURE}) {
            std::vector<std::uint8_t> other;
            EXPECT_EQ(Read(*category, filter, &other), STATUS_SUCCESS);
            EXPECT_EQ(other, bytes);
        }
        host::engine::PacketConstraints constraints;
        ASSERT_TRUE(host::engine::ReadPacketConstraints(bytes, &constraints));
        EXPECT_NE(constraints.defaultModeFrames + constraints.defaultModeHns, 0u)
            << "no constraint for the default processing mode";
        EXPECT_GE(std::uint64_t(constraints.maximumPacketBytes) * 100, LargestBytesPerSecond)
            << "a packet must hold 10 ms of the largest format";
        for (std::uint32_t rate : {LowestRate, 11025u, 44100u, 48000u, 96000u, HighestRate}) {
            // Frames from 1 byte to 8 channels of 4 bytes, odd sizes among them.
            for (std::uint32_t blockAlign : {1u, 3u, 4u, 6u, 9u, 24u, 32u}) {
                SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(blockAlign) +
                             "-byte frames");
                const std::uint32_t frames =
                    host::engine::SmallestPeriodFrames(constraints, rate, blockAlign);
                ASSERT_NE(frames, 0u) << "no period allowed at all";
                // The declared minimum in whole frames, nothing coarser: no alignment or
                // processing packet rounds any format's period further up.
                const std::uint64_t minimum = std::uint64_t(constraints.minimumPeriodHns) * rate;
                EXPECT_GE(std::uint64_t(frames) * 10000000, minimum);
                EXPECT_LT(std::uint64_t(frames - 1) * 10000000, minimum);
                // A buffer of two such packets is a view of the data buffer.
                EXPECT_LE(2ull * frames * blockAlign, transport::DataBufferSize);
                if (rate == 48000) {
                    EXPECT_LE(frames, 128u);
                }
            }
        }
    }
}

TEST_F(PacketConstraintsTest, AKernelWithoutThePropertyCallStillStartsTheDevice) {
    host::SetOsVersion(6, 1, 7601);
    LoadAndStart();
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(Read(KSCATEGORY_AUDIO, u"\\wave_r", &bytes), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
