// qel-ros2-bridge as a user starts it, without a bus: help, version and the
// exit statuses of bad command lines and of a DDS that cannot start.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/ToolRun.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

const std::string kBridge = QEL_ROS2_BRIDGE_PATH;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The environment variable set for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_.empty()) {
            unsetenv(name_);
        } else {
            setenv(name_, old_.c_str(), 1);
        }
    }

private:
    const char* name_;
    std::string old_;
};

TEST(BridgeCli, HelpVersionAndExitStatusesWithoutABus) {
    std::string out, err;
    for (const char* help : {"-h", "--help"}) {
        EXPECT_EQ(runTool(kBridge, {help}, &out, &err), 0) << err;
        for (const char* documented : {"--can", "--namespace", "--rate", "--domain", "--urdf", "--realtime",
                                       "--rt-priority", "--rt-cpu", "--version", "joint_states", "diagnostics",
                                       "joint_command", "joint_trajectory", "arm_state", "damp", "resume",
                                       "gripper_command", "CYCLONEDDS_URI", "damps the arm"}) {
            EXPECT_TRUE(contains(out, documented)) << documented << " is not documented";
        }
    }
    EXPECT_EQ(runTool(kBridge, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-ros2-bridge ") + QEL_EXPECTED_VERSION + "\n");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const Bad bad[] = {
        {{}, "--can is required"},
        {{"--can", "vcan0", "--rate", "0"}, "--rate must be above 0 and at most 200"},
        {{"--can", "vcan0", "--rate", "201"}, "--rate must be above 0 and at most 200"},
        {{"--can", "vcan0", "--rate", "fast"}, "--rate must be a finite number"},
        {{"--can", "vcan0", "--domain", "233"}, "--domain must be a whole number from 0 to 232"},
        {{"--can", "vcan0", "--domain", "1.5"}, "--domain must be a whole number from 0 to 232"},
        {{"--can", "vcan0", "--namespace", "left/2nd"}, "has a part that starts with a digit"},
        {{"--can", "vcan0", "--namespace", "le-ft"}, "may hold only letters, digits"},
        {{"--can", "vcan0", "--rt-priority", "99"}, "--rt-priority must be a whole number from 1 to 98"},
        {{"--can", "vcan0", "--rt-cpu", "-1"}, "--rt-cpu must be a CPU number"},
        {{"--can", "vcan0", "stray"}, "unexpected argument 'stray'"},
        {{"--bogus"}, "unknown option '--bogus'"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(runTool(kBridge, b.args, &out, &err), 2) << b.message;
        EXPECT_TRUE(contains(err, b.message)) << "expected '" << b.message << "' in: " << err;
        EXPECT_TRUE(contains(err, "usage:")) << err;
    }
    {
        ScopedEnv domain("ROS_DOMAIN_ID", "lots");
        EXPECT_EQ(runTool(kBridge, {"--can", "vcan0"}, &out, &err), 2);
        EXPECT_TRUE(contains(err, "ROS_DOMAIN_ID must be a number, got 'lots'")) << err;
    }
    {
        // DDS is checked before the arm is touched: no bus is needed to fail.
        ScopedEnv config("CYCLONEDDS_URI",
                         "<CycloneDDS><Domain><General><Interfaces><NetworkInterface name=\"nosuch0\"/>"
                         "</Interfaces></General></Domain></CycloneDDS>");
        EXPECT_EQ(runTool(kBridge, {"--can", "nosuch0", "--domain", "3"}, &out, &err), 3);
        EXPECT_TRUE(contains(err, "DDS: cannot create the participant")) << err;
        EXPECT_FALSE(contains(out, "homing")) << out;
    }
}

}  // namespace
}  // namespace qel::test
