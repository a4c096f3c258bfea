// qel-replay and qel-teleop as a user runs them, without a bus: help and
// version, bad command lines, and the recordings qel-replay refuses before
// it starts the arm, saying why.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ToolRun.hpp"
#include "qel/recording/Hdf5File.hpp"
#include "support/LessonFile.hpp"

namespace qel::test {
namespace {

const std::string kReplay = QEL_REPLAY_PATH;
const std::string kTeleop = QEL_TELEOP_PATH;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ReplayCli, HelpVersionAndBadCommandLines) {
    std::string out, err;
    for (const char* help : {"-h", "--help"}) {
        EXPECT_EQ(runTool(kReplay, {help}, &out, &err), 0);
        for (const char* part : {"usage: qel-replay FILE", "MOVES THE ARM", "--can", "--speed", "--urdf",
                                 "0.002 rad", "another robot variant", "docs/recording.md", "Exit status",
                                 "5 the recording was refused", "6 the motion layer refused", "130 or 143"}) {
            EXPECT_TRUE(contains(out, part)) << part << " missing from:\n" << out;
        }
    }
    EXPECT_EQ(runTool(kReplay, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-replay ") + QEL_EXPECTED_VERSION + "\n");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const Bad bad[] = {
        {{}, "name the recording to replay"},
        {{"a.h5", "b.h5"}, "unexpected argument 'b.h5'"},
        {{"a.h5", "--speed", "0"}, "--speed must be from 0.01 to 100"},
        {{"a.h5", "--speed", "101"}, "--speed must be from 0.01 to 100"},
        {{"a.h5", "--speed", "fast"}, "--speed must be a finite number, got 'fast'"},
        {{"a.h5", "--speed"}, "option '--speed' needs a value"},
        {{"a.h5", "--bogus"}, "unknown option '--bogus'"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(runTool(kReplay, b.args, &out, &err), 2) << b.message;
        EXPECT_TRUE(contains(err, b.message)) << "expected '" << b.message << "' in: " << err;
        EXPECT_TRUE(contains(err, "usage: qel-replay")) << err;
    }
}

// Each refused before the arm is started: nothing connects to the (missing)
// interface, the status is 5 and the message says why.
TEST(ReplayCli, RefusesARecordingItCannotReplayBeforeTheArmStarts) {
    const auto scratch = [] { return scratchPath("recording.h5"); };
    const LessonFile good(scratch(), 0, 50, [](std::size_t k, recording::CycleSample& s) {
        s.position[1] += 0.001 * k;
    });
    const LessonFile other_variant(scratch(), 3, 50, [](std::size_t, recording::CycleSample&) {});
    // Joint 2 rises past its upper limit of 3.6 (and the millirad of slack)
    // from the 12th cycle, 0.055 s after the first, up to 0.15 beyond it at
    // the 41st; joint 4 leaves its range later, and is not the one named.
    const LessonFile beyond(scratch(), 0, 50, [](std::size_t k, recording::CycleSample& s) {
        s.position[1] = k <= 40 ? 3.55 + 0.005 * k : 3.75 - 0.01 * (k - 40);
        if (k > 45) s.position[3] = 1.5;
    });
    // Within a millirad of a limit a sample is taken at it.
    const LessonFile on_the_stop(scratch(), 0, 50, [](std::size_t k, recording::CycleSample& s) {
        s.position[1] = 3.6 + (k % 2) * 0.0008;
    });
    const LessonFile one_cycle(scratch(), 0, 1, [](std::size_t, recording::CycleSample&) {});
    // A fault latched in the second cycle: one cycle is left before it.
    const LessonFile latched(scratch(), 0, 50, [](std::size_t k, recording::CycleSample& s) {
        s.fault_latched = k >= 1 ? 1 : 0;
    });
    const std::string not_hdf5 = scratchPath("text.h5");
    std::ofstream(not_hdf5) << "cycle,state\n1,3\n";
    const std::string foreign = scratchPath("foreign.h5");
    {
        recording::Hdf5File file(foreign);
        file.attribute(recording::Hdf5File::kRoot, "format", std::string("something else"));
    }

    struct Refused {
        std::string file;
        std::vector<const char*> parts;
    };
    const Refused refused[] = {
        {"/nonexistent/lesson.h5", {"cannot read the recording '/nonexistent/lesson.h5': No such file"}},
        {not_hdf5, {"cannot be opened as an HDF5 file"}},
        {foreign, {"is not a cycle recording"}},
        {other_variant.path(), {"comes from robot variant 3; this arm is variant 0"}},
        {beyond.path(), {"leaves the limits: joint 2 (range -0.1 to 3.6)", "from 0.055 s (cycle 112)",
                         "at worst 3.75, 0.15 beyond its limit, at 0.200 s"}},
        {one_cycle.path(), {"has 1 cycle(s) to replay", "at least two"}},
        {latched.path(), {"has 1 cycle(s) to replay before any latched fault"}},
    };
    std::string out, err;
    for (const Refused& r : refused) {
        EXPECT_EQ(runTool(kReplay, {r.file, "--can", "nocan7"}, &out, &err), 5) << r.file << ": " << err;
        for (const char* part : r.parts) EXPECT_TRUE(contains(err, part)) << "expected '" << part << "' in: " << err;
        EXPECT_FALSE(contains(out, "Connecting")) << out;
    }
    // The good recordings get as far as the missing interface.
    for (const LessonFile* ok : {&good, &on_the_stop}) {
        EXPECT_EQ(runTool(kReplay, {ok->path(), "--can", "nocan7", "--speed", "0.5"}, &out, &err), 4) << err;
        EXPECT_TRUE(contains(out, "Replaying " + ok->path() + ": cycles 101 to 150 (50 recorded)")) << out;
        EXPECT_TRUE(contains(out, "at speed 0.5")) << out;
        EXPECT_TRUE(contains(err, "qel-replay: the arm could not be started")) << err;
    }
    unlink(not_hdf5.c_str());
    unlink(foreign.c_str());
}

TEST(TeleopCli, HelpVersionBadCommandLinesAndSetupsThatFailBeforeTheArmsMove) {
    std::string out, err;
    for (const char* help : {"-h", "--help"}) {
        EXPECT_EQ(runTool(kTeleop, {help}, &out, &err), 0);
        for (const char* part : {"usage: qel-teleop --leader IFACE --follower IFACE", "MOVES BOTH ARMS", "--record",
                                 "--duration", "--urdf", "gravity compensation", "/action", "/observations/qpos",
                                 "docs/teleoperation.md", "Exit status", "1 a fault of either", "3 the episode file",
                                 "4 an arm could not be started", "130 or 143"}) {
            EXPECT_TRUE(contains(out, part)) << part << " missing from:\n" << out;
        }
    }
    EXPECT_EQ(runTool(kTeleop, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-teleop ") + QEL_EXPECTED_VERSION + "\n");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const Bad bad[] = {
        {{}, "--leader IFACE is required"},
        {{"--leader", "vcan0"}, "--follower IFACE is required"},
        {{"--follower", "vcan1"}, "--leader IFACE is required"},
        {{"--leader", "vcan0", "--follower", "vcan0"}, "the leader and the follower need a bus each (both are on 'vcan0')"},
        {{"--leader", "vcan0", "--follower", "vcan1", "--duration", "0"}, "--duration must be above 0"},
        {{"--leader", "vcan0", "--follower", "vcan1", "--duration", "later"}, "--duration must be a finite number"},
        {{"--leader", "vcan0", "--follower", "vcan1", "--record", ""}, "--record needs a file name"},
        {{"--leader", "vcan0", "--follower", "vcan1", "stray"}, "unexpected argument 'stray'"},
        {{"--leader"}, "option '--leader' needs a value"},
        {{"--leader", "vcan0", "--follower", "vcan1", "--bogus"}, "unknown option '--bogus'"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(runTool(kTeleop, b.args, &out, &err), 2) << b.message;
        EXPECT_TRUE(contains(err, b.message)) << "expected '" << b.message << "' in: " << err;
        EXPECT_TRUE(contains(err, "usage: qel-teleop")) << err;
    }

    // An episode in a folder that cannot exist: refused before a bus is
    // opened. Where it can be written, the missing interfaces stop it, the
    // one that failed first named; nothing is recorded.
    const std::string not_a_folder = scratchPath("file");
    std::ofstream(not_a_folder) << "x";
    EXPECT_EQ(runTool(kTeleop, {"--leader", "nocan7", "--follower", "nocan8", "--record", not_a_folder + "/e.h5"},
                      &out, &err), 3);
    EXPECT_TRUE(contains(err, "qel-teleop: cannot write in '" + not_a_folder + "'")) << err;
    EXPECT_EQ(out, "");
    const std::string episode = scratchPath("episode.h5");
    EXPECT_EQ(runTool(kTeleop, {"--leader", "nocan7", "--follower", "nocan8", "--record", episode}, &out, &err), 4);
    EXPECT_TRUE(contains(out, "Connecting to the arms on nocan7 and nocan8")) << out;
    EXPECT_TRUE(contains(err, "qel-teleop: the arm on nocan") && contains(err, " could not be started: Cannot open CAN "
                                                                                 "interface 'nocan"))
        << err;
    EXPECT_NE(access(episode.c_str(), F_OK), 0) << "nothing recorded";
    unlink(not_a_folder.c_str());
}

}  // namespace
}  // namespace qel::test
