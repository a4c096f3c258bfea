// qel-virtual-arm's --push value, parsed on its own: every field checked
// and named when it is wrong.
#include <gtest/gtest.h>

#include <string>

#include "apps/CommandLine.hpp"
#include "apps/PushOption.hpp"

namespace qel::tools {
namespace {

TEST(PushOption, FourFieldsJointTorqueStartDuration) {
    const PushOption push = parsePushOption("2:-7.5:1.25:0.5");
    EXPECT_EQ(push.joint, 2);
    EXPECT_EQ(push.torque, -7.5);
    EXPECT_EQ(push.start_s, 1.25);
    EXPECT_EQ(push.duration_s, 0.5);
    // The ends of every range are accepted.
    const PushOption edges = parsePushOption("6:1000:0:1e6");
    EXPECT_EQ(edges.joint, 6);
    EXPECT_EQ(edges.torque, 1000.0);
    EXPECT_EQ(edges.start_s, 0.0);
    EXPECT_EQ(edges.duration_s, 1e6);
    EXPECT_EQ(parsePushOption("1:-1000:1e6:1e-3").joint, 1);
}

TEST(PushOption, RefusesWhatIsNotAPushSayingWhichField) {
    struct Bad {
        const char* text;
        const char* message;
    };
    const Bad bad[] = {
        {"", "four fields"},
        {"2:5:1", "four fields"},
        {"2:5:1:1:1", "four fields"},
        {"2::1:1", "--push torque must be a finite number"},
        {"0:5:1:1", "joint must be a whole number from 1 to 6, got '0'"},
        {"7:5:1:1", "joint must be a whole number from 1 to 6"},
        {"2.5:5:1:1", "joint must be a whole number from 1 to 6"},
        {"x:5:1:1", "--push joint must be a finite number, got 'x'"},
        {"2:1000.5:1:1", "torque must be from -1000 to 1000"},
        {"2:-inf:1:1", "--push torque must be a finite number"},
        {"2:5:-1:1", "start must be 0 to 1e6 seconds"},
        {"2:5:nan:1", "--push start must be a finite number"},
        {"2:5:1:0", "duration must be above 0"},
        {"2:5:1:-2", "duration must be above 0"},
        {"2:5:1:2e6", "at most 1e6 seconds"},
        {"2:5:1:1 ", "--push duration must be a finite number"},
    };
    for (const Bad& b : bad) {
        try {
            parsePushOption(b.text);
            ADD_FAILURE() << "accepted '" << b.text << "'";
        } catch (const UsageError& error) {
            EXPECT_NE(error.message.find(b.message), std::string::npos) << b.text << ": " << error.message;
        }
    }
}

}  // namespace
}  // namespace qel::tools
