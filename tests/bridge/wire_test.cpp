// One joint_states sample as the bridge puts it on the wire, byte for byte
// against classic CDR written out by hand from ROS 2's JointState layout: the
// encapsulation header, the header's stamp and empty frame id, seven names
// each with its length, terminator and padding, and three sequences of
// doubles aligned to eight bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>

#include "FakeArm.hpp"
#include "Ros2Peer.hpp"
#include "bridge/Ros2Bridge.hpp"
#include "sensor_msgs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

// A little-endian string as CDR writes it: length with the terminator, the
// characters, the terminator.
#define CDR_STRING_6(a, b, c, d, e, f) 7, 0, 0, 0, a, b, c, d, e, f, 0

const std::vector<uint8_t> kExpected = {
    0x00, 0x01, 0x00, 0x00,  // encapsulation: classic CDR, little-endian; no options
    // header.stamp: sec 1700000000 (0x6553F100), nanosec 123456789 (0x075BCD15)
    0x00, 0xF1, 0x53, 0x65, 0x15, 0xCD, 0x5B, 0x07,
    1, 0, 0, 0, 0,  // header.frame_id: "" is its terminator alone
    0, 0, 0,        // to the next 4-byte boundary (offset 16)
    7, 0, 0, 0,     // name: seven strings
    CDR_STRING_6('j', 'o', 'i', 'n', 't', '1'), 0,  // each padded to 4 bytes
    CDR_STRING_6('j', 'o', 'i', 'n', 't', '2'), 0,
    CDR_STRING_6('j', 'o', 'i', 'n', 't', '3'), 0,
    CDR_STRING_6('j', 'o', 'i', 'n', 't', '4'), 0,
    CDR_STRING_6('j', 'o', 'i', 'n', 't', '5'), 0,
    CDR_STRING_6('j', 'o', 'i', 'n', 't', '6'), 0,
    8, 0, 0, 0, 'g', 'r', 'i', 'p', 'p', 'e', 'r', 0,  // ends at offset 104
    7, 0, 0, 0,  // position: seven doubles
    0, 0, 0, 0,  // to the next 8-byte boundary (offset 112)
    0, 0, 0, 0, 0, 0, 0x00, 0x00,  // 0.0
    0, 0, 0, 0, 0, 0, 0xE0, 0x3F,  // 0.5
    0, 0, 0, 0, 0, 0, 0xF0, 0x3F,  // 1.0
    0, 0, 0, 0, 0, 0, 0xF8, 0x3F,  // 1.5
    0, 0, 0, 0, 0, 0, 0x00, 0x40,  // 2.0
    0, 0, 0, 0, 0, 0, 0xF0, 0xBF,  // -1.0
    0, 0, 0, 0, 0, 0, 0xD0, 0x3F,  // 0.25 (the gripper)
    7, 0, 0, 0, 0, 0, 0, 0,        // velocity: seven doubles, after 4 bytes of padding
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0xF0, 0x3F,  // 1.0
    7, 0, 0, 0, 0, 0, 0, 0,        // effort (the motor currents)
    0, 0, 0, 0, 0, 0, 0xF0, 0xBF,  // -1.0
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x00,
    0, 0, 0, 0, 0, 0, 0x00, 0x40,  // 2.0
};

TEST(BridgeWire, JointStateIsClassicCdrInRos2sLayout) {
    ASSERT_EQ(kExpected.size(), 4u + 296u) << "the hand-written layout itself";
    const int domain = useLoopbackDds();
    FakeArm arm;
    arm.next_sample.cycle = 1;
    arm.next_sample.time_ns = 1700000000LL * 1000000000LL + 123456789LL;
    arm.next_sample.positions = {0.0, 0.5, 1.0, 1.5, 2.0, -1.0, 0.25};
    arm.next_sample.velocities = {0, 0, 0, 0, 0, 0, 1.0};
    arm.next_sample.currents = {-1.0, 0, 0, 0, 0, 0, 2.0};

    ros2::BridgeOptions options;
    options.ros_namespace = "wire";
    options.domain = domain;
    ros2::Ros2Bridge bridge(options);

    const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
    ASSERT_GT(participant, 0);
    const dds_entity_t topic = dds_create_topic(participant, &sensor_msgs_msg_dds__JointState__desc,
                                                "rt/wire/joint_states", nullptr, nullptr);
    ASSERT_GT(topic, 0);
    const dds_entity_t reader = dds_create_reader(participant, topic, nullptr, nullptr);
    ASSERT_GT(reader, 0);
    dds_subscription_matched_status_t matched{};
    for (int i = 0; i < 1000 && matched.current_count == 0; ++i) {
        dds_get_subscription_matched_status(reader, &matched);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(matched.current_count, 1u) << "the bridge's writer of rt/wire/joint_states";

    // The fake arm's cycle never advances: exactly one sample is published.
    bridge.attach(arm);
    ddsi_serdata* data = nullptr;
    dds_sample_info_t info{};
    dds_return_t taken = 0;
    for (int i = 0; i < 1000 && taken == 0; ++i) {
        taken = dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE);
        if (taken == 0) std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(taken, 1);
    std::vector<uint8_t> bytes(ddsi_serdata_size(data));
    ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
    ddsi_serdata_unref(data);
    ASSERT_EQ(bytes.size(), kExpected.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(bytes[i], kExpected[i]) << "byte " << i << " (payload offset " << static_cast<long>(i) - 4 << ")";
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(bridge.counters().joint_states, 1u) << "one cycle, one sample";
    dds_delete(participant);
}

}  // namespace
}  // namespace qel::test
