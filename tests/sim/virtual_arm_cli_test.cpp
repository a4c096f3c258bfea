// qel-virtual-arm as a user starts it: exit statuses, a fault option seen on
// the wire, the status line and a clean stop on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "support/CanRecorder.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Runs the program with `args`, output to `log`; returns its pid.
pid_t launch(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    std::string program = QEL_VIRTUAL_ARM_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int runToExit(const std::vector<std::string>& args, std::string* output) {
    const std::string log = "/tmp/qel-virtual-arm-cli-" + std::to_string(getpid()) + ".log";
    const int status = waitExit(launch(args, log));
    *output = readAll(log);
    unlink(log.c_str());
    return status;
}

TEST(VirtualArmCli, ExitStatusesForBadCommandLinesAndMissingInterfaces) {
    std::string output;
    EXPECT_EQ(runToExit({"--help"}, &output), 0);
    for (const char* option : {"--silence", "--status-code", "--current", "--drop", "--delay",
                               "--bus-silent", "--random-frames", "--start", "--gripper-stop"}) {
        EXPECT_NE(output.find(option), std::string::npos) << option << " is not documented";
    }
    EXPECT_EQ(runToExit({"--bogus"}, &output), 2);
    EXPECT_NE(output.find("usage:"), std::string::npos);
    EXPECT_EQ(runToExit({"--drop", "3=0.5"}, &output), 2);
    EXPECT_EQ(runToExit({"--drop", "4=1.5"}, &output), 2);
    EXPECT_EQ(runToExit({"--delay", "4=nan"}, &output), 2);
    EXPECT_EQ(runToExit({"--status-code", "4"}, &output), 2);
    EXPECT_EQ(runToExit({"--start", "0,0,0"}, &output), 2);
    EXPECT_EQ(runToExit({"--gripper-travel", "-1"}, &output), 2);
    EXPECT_EQ(runToExit({"stray"}, &output), 2);
    EXPECT_EQ(runToExit({"--can", "nocan7", "--quiet"}, &output), 1);
    EXPECT_NE(output.find("cannot open CAN interface 'nocan7'"), std::string::npos) << output;
    EXPECT_EQ(runToExit({"--urdf", "/nonexistent/arm.urdf"}, &output), 1);
}

TEST(VirtualArmCli, RunsWithFaultsUntilSigterm) {
    qel::test::CanRecorder recorder;
    const std::string log = "/tmp/qel-virtual-arm-run-" + std::to_string(getpid()) + ".log";
    const pid_t pid = launch({"--can", qel::test::kTestBus, "--status-code", "5=9", "--silence", "6"}, log);
    ASSERT_GT(pid, 0);

    qel::hw_interface::MotorType2 motor5(5), motor6(6);
    // Until its socket is open the program cannot answer; keep asking.
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        recorder.send(motor5.packEnableMotor());
        recorder.send(motor6.packEnableMotor());
        answered = recorder.waitFor([](const auto& f) { return f.can_id == 0; }, 1, 50ms);
    }
    ASSERT_TRUE(answered);
    std::this_thread::sleep_for(1500ms);
    for (const auto& recorded : recorder.framesWithId(0)) {
        EXPECT_EQ(recorded.frame.data[0], 0x95) << "only motor 5 answers, with status 9";
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(pid), 0);
    const std::string output = readAll(log);
    unlink(log.c_str());
    EXPECT_NE(output.find("enabled [5,6]"), std::string::npos) << output;
}

}  // namespace
