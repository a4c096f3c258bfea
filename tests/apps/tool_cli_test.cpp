// qel-decode and qel-demo as a user runs them, without a bus: help and
// version, exit statuses for bad command lines and unusable files, and the
// decoding of candump logs from a file and from standard input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ToolRun.hpp"

namespace qel::test {
namespace {

const std::string kDecode = QEL_DECODE_PATH;
const std::string kDemo = QEL_DEMO_PATH;
const std::string kTeach = QEL_TEACH_PATH;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A scratch file holding `text`, removed with the object.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& text) : path_(scratchPath("log")) { std::ofstream(path_) << text; }
    ~ScratchFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const char* const kLog =
    "(1436509052.249713) vcan0 001#7FFF7FF0000007FF\n"
    "(1436509052.250013) vcan0 004#8A3C7FF0281997FF\n"
    "(1436509052.250113) vcan0 005#7FFF7FF0000008CC\n"
    "(1436509052.250313) vcan0 008#FFFFFFFFFFFFFFFC\n"
    "(1436509052.250613) vcan0 006#FFFFFFFFFFFFFFFD\n"
    "\n"
    "(1436509052.251000) vcan0 000#1880008008000000\n"
    "(1436509052.251200) vcan0 000#94FFFFFFFFFF0000\n"
    "(1436509052.251400) vcan0 123#1122\n"
    "(1436509052.251600) vcan0 003#FFFFFFFFFFFFFFFC\n";

const char* const kDecoded =
    "(1436509052.249713) vcan0 001#7FFF7FF0000007FF  command motor 1 (joint 1): kp 0.00 kd 0.000 "
    "position -0.0002 rad velocity -0.011 rad/s torque -0.007 Nm\n"
    "(1436509052.250013) vcan0 004#8A3C7FF0281997FF  command motor 4 (joint 3): kp 4.88 kd 0.499 "
    "position +0.9997 rad velocity -0.011 rad/s torque -0.007 Nm\n"
    "(1436509052.250113) vcan0 005#7FFF7FF0000008CC  command motor 5 (joint 4): kp 0.00 kd 0.000 "
    "position -0.0002 rad velocity -0.011 rad/s torque +0.999 Nm\n"
    "(1436509052.250313) vcan0 008#FFFFFFFFFFFFFFFC  enable motor 8 (gripper)\n"
    "(1436509052.250613) vcan0 006#FFFFFFFFFFFFFFFD  disable motor 6 (joint 5)\n"
    "(1436509052.251000) vcan0 000#1880008008000000  feedback motor 8 (gripper): error 1 (ok) "
    "position +0.0002 raw velocity +0.011 rad/s current +0.004\n"
    "(1436509052.251200) vcan0 000#94FFFFFFFFFF0000  feedback motor 4 (joint 3): error 9 (fault) "
    "position +12.5000 rad velocity +45.000 rad/s current +18.000\n"
    "(1436509052.251400) vcan0 123#1122  unknown: identifier 0x123 is not one of the arm's motors\n"
    "(1436509052.251600) vcan0 003#FFFFFFFFFFFFFFFC  unknown: identifier 0x003 is not one of the arm's motors\n";

TEST(DecodeCli, HelpVersionAndBadCommandLines) {
    std::string out, err;
    for (const char* help : {"-h", "--help"}) {
        EXPECT_EQ(runTool(kDecode, {help}, &out, &err), 0) << help;
        EXPECT_TRUE(contains(out, "usage: qel-decode")) << out;
        for (const char* option : {"--can", "--motor", "--summary", "--summary-only", "--version", "Exit status"}) {
            EXPECT_TRUE(contains(out, option)) << option << " is not documented";
        }
    }
    EXPECT_EQ(runTool(kDecode, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-decode ") + QEL_EXPECTED_VERSION + "\n");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const ScratchFile log(kLog);
    const Bad bad[] = {
        {{}, "give either --can IFACE or a log file"},
        {{"--can", "vcan0", log.path()}, "give either --can IFACE or a log file"},
        {{log.path(), log.path()}, "unexpected argument"},
        {{"--motor", "3", log.path()}, "no motor with identifier '3'"},
        {{"--motor", "joint1", log.path()}, "motor identifier must be a finite number"},
        {{"--motor"}, "option '--motor' needs a value"},
        {{"--bogus", log.path()}, "unknown option '--bogus'"},
        {{"-x", log.path()}, "unknown option '-x'"},
        {{"--summary=1", log.path()}, "option '--summary' takes no value"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(runTool(kDecode, b.args, &out, &err), 2) << b.message;
        EXPECT_TRUE(contains(err, b.message)) << err;
        EXPECT_TRUE(contains(err, "usage: qel-decode")) << err;
        EXPECT_EQ(out, "");
    }

    EXPECT_EQ(runTool(kDecode, {"/nonexistent/candump.log"}, &out, &err), 1);
    EXPECT_TRUE(contains(err, "cannot read '/nonexistent/candump.log'")) << err;
    EXPECT_EQ(runTool(kDecode, {"--can", "nocan7"}, &out, &err), 1);
    EXPECT_TRUE(contains(err, "cannot open CAN interface 'nocan7'")) << err;
}

TEST(DecodeCli, DecodesACandumpLogFromAFileOrStandardInput) {
    const ScratchFile log(kLog);
    std::string out, err;
    EXPECT_EQ(runTool(kDecode, {log.path()}, &out, &err), 0) << err;
    EXPECT_EQ(out, kDecoded);
    EXPECT_EQ(err, "");
    EXPECT_EQ(runTool(kDecode, {"-"}, &out, &err, log.path()), 0) << err;
    EXPECT_EQ(out, kDecoded);
}

TEST(DecodeCli, FiltersByMotorAndSummarises) {
    const ScratchFile log(kLog);
    std::string out, err;
    EXPECT_EQ(runTool(kDecode, {"--motor", "4", "--summary", log.path()}, &out, &err), 0) << err;
    EXPECT_EQ(out,
              "(1436509052.250013) vcan0 004#8A3C7FF0281997FF  command motor 4 (joint 3): kp 4.88 kd 0.499 "
              "position +0.9997 rad velocity -0.011 rad/s torque -0.007 Nm\n"
              "(1436509052.251200) vcan0 000#94FFFFFFFFFF0000  feedback motor 4 (joint 3): error 9 (fault) "
              "position +12.5000 rad velocity +45.000 rad/s current +18.000\n"
              "summary: 2 frames over 1.2 ms, 0 unknown\n"
              "motor 4 (joint 3): 1 command (842.5/s), 0 enables, 0 disables, 1 feedback (842.5/s), 0 silences\n"
              "  last command: kp 4.88 kd 0.499 position +0.9997 rad velocity -0.011 rad/s torque -0.007 Nm\n"
              "  last feedback: error 9 (fault) position +12.5000 rad velocity +45.000 rad/s current +18.000\n");

    // Two motors, summary only; their frames span 0.687 ms.
    EXPECT_EQ(runTool(kDecode, {"--summary-only", "--motor", "8", "--motor", "6", log.path()}, &out, &err), 0);
    EXPECT_EQ(out,
              "summary: 3 frames over 0.7 ms, 0 unknown\n"
              "motor 6 (joint 5): 0 commands (0.0/s), 0 enables, 1 disable, 0 feedback (0.0/s), never answered\n"
              "motor 8 (gripper): 0 commands (0.0/s), 1 enable, 0 disables, 1 feedback (1455.6/s), 0 silences\n"
              "  last feedback: error 1 (ok) position +0.0002 raw velocity +0.011 rad/s current +0.004\n");
}

TEST(DecodeCli, LinesThatAreNoCandumpLinesAreReportedAndSkipped) {
    const ScratchFile log("(1.000000) vcan0 001#7FFF7FF0000007FF\n"
                          "candump vcan0\n"
                          "(2.000000) vcan0 001#7FFF7FF0\n"
                          "(3.000000) vcan0 008#FFFFFFFFFFFFFFFD\n");
    std::string out, err;
    EXPECT_EQ(runTool(kDecode, {log.path()}, &out, &err), 3);
    EXPECT_TRUE(contains(err, "qel-decode: line 2 skipped: no '(time)' at the start")) << err;
    EXPECT_FALSE(contains(err, "line 3")) << "a short command frame is a frame: " << err;
    EXPECT_EQ(out,
              "(1.000000) vcan0 001#7FFF7FF0000007FF  command motor 1 (joint 1): kp 0.00 kd 0.000 position -0.0002 "
              "rad velocity -0.011 rad/s torque -0.007 Nm\n"
              "(2.000000) vcan0 001#7FFF7FF0  unknown: 4 data bytes for motor 1 (joint 1) (8 needed)\n"
              "(3.000000) vcan0 008#FFFFFFFFFFFFFFFD  disable motor 8 (gripper)\n");
}

TEST(DemoCli, HelpWarnsThatItMovesTheArmAndBadSetupsFailBeforeItStarts) {
    std::string out, err;
    EXPECT_EQ(runTool(kDemo, {"--help"}, &out, &err), 0);
    EXPECT_EQ(runTool(kDemo, {"-h"}, &out, &err), 0);
    for (const char* part : {"usage: qel-demo", "MOVES THE ARM", "--can", "--urdf", "--out", "Exit status",
                             "3 the output folder cannot be written", "4 the arm could", "130 or 143"}) {
        EXPECT_TRUE(contains(out, part)) << part << " missing from:\n" << out;
    }
    EXPECT_EQ(runTool(kDemo, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-demo ") + QEL_EXPECTED_VERSION + "\n");

    EXPECT_EQ(runTool(kDemo, {"--bogus"}, &out, &err), 2);
    EXPECT_TRUE(contains(err, "unknown option '--bogus'")) << err;
    EXPECT_EQ(runTool(kDemo, {"--out"}, &out, &err), 2);
    EXPECT_TRUE(contains(err, "option '--out' needs a value")) << err;
    EXPECT_EQ(runTool(kDemo, {"stray"}, &out, &err), 2);

    // An output folder below a regular file can never be created; the demo
    // says so before it opens the bus.
    const ScratchFile file("not a folder");
    EXPECT_EQ(runTool(kDemo, {"--can", "nocan7", "--out", file.path() + "/run"}, &out, &err), 3);
    EXPECT_TRUE(contains(err, "cannot create output folder '" + file.path() + "/run'")) << err;
    EXPECT_EQ(out, "");
}

TEST(TeachCli, HelpWarnsThatItMovesTheArmAndBadSetupsFailBeforeItStarts) {
    std::string out, err;
    EXPECT_EQ(runTool(kTeach, {"--help"}, &out, &err), 0);
    for (const char* part : {"usage: qel-teach", "--out FILE", "gravity compensation", "MOVES THE ARM", "--can",
                             "--duration", "--urdf", ".csv", "docs/recording.md", "Exit status",
                             "3 the\nfile cannot be written", "4 the arm could not be started", "130 or 143"}) {
        EXPECT_TRUE(contains(out, part)) << part << " missing from:\n" << out;
    }
    EXPECT_EQ(runTool(kTeach, {"--version"}, &out, &err), 0);
    EXPECT_EQ(out, std::string("qel-teach ") + QEL_EXPECTED_VERSION + "\n");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const Bad bad[] = {
        {{}, "--out FILE is required"},
        {{"--out", "x.h5", "--duration", "0"}, "--duration must be above 0"},
        {{"--out", "x.h5", "--duration", "-3"}, "--duration must be above 0"},
        {{"--out", "x.h5", "--duration", "2e6"}, "at most 1e6 seconds"},
        {{"--out", "x.h5", "--duration", "soon"}, "--duration must be a finite number, got 'soon'"},
        {{"--out"}, "option '--out' needs a value"},
        {{"--out", "x.h5", "stray"}, "unexpected argument 'stray'"},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(runTool(kTeach, b.args, &out, &err), 2) << b.message;
        EXPECT_TRUE(contains(err, b.message)) << "expected '" << b.message << "' in: " << err;
        EXPECT_TRUE(contains(err, "usage: qel-teach")) << err;
    }

    // A recording in a folder that cannot exist: refused before the bus is
    // opened (the interface named here does not exist either).
    const ScratchFile file("not a folder");
    EXPECT_EQ(runTool(kTeach, {"--can", "nocan7", "--out", file.path() + "/teach.h5"}, &out, &err), 3);
    EXPECT_TRUE(contains(err, "qel-teach: cannot write in '" + file.path() + "'")) << err;
    EXPECT_EQ(out, "");
    // Where it can be written, the missing interface is what stops it.
    const std::string recording = scratchPath("teach.h5");
    EXPECT_EQ(runTool(kTeach, {"--can", "nocan7", "--out", recording}, &out, &err), 4);
    EXPECT_TRUE(contains(err, "qel-teach: the arm could not be started: Cannot open CAN interface 'nocan7'")) << err;
    EXPECT_NE(access(recording.c_str(), F_OK), 0) << "nothing recorded";
}

}  // namespace
}  // namespace qel::test
