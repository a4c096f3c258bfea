// Real-time options reach the library's threads: the control and receive
// threads run with the policy, priority and CPUs the host asked for, and a
// setting the system refuses is an error or one warning, as the host chose.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel/controller/ControllerThread.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "support/ArmOnBus.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::m4 {
namespace {

using namespace std::chrono_literals;

// Kernel thread ids of this process's threads named `name`.
std::vector<pid_t> threadsNamed(const char* name) {
    std::vector<pid_t> out;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return out;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
        FILE* f = std::fopen(path.c_str(), "r");
        if (f == nullptr) continue;
        char comm[32] = {};
        if (std::fgets(comm, sizeof comm, f) != nullptr) {
            comm[std::strcspn(comm, "\n")] = '\0';
            if (std::strcmp(comm, name) == 0) out.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
        }
        std::fclose(f);
    }
    closedir(dir);
    return out;
}

void expectScheduling(const char* name, int policy, int priority, int cpu) {
    SCOPED_TRACE(name);
    const std::vector<pid_t> threads = threadsNamed(name);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(sched_getscheduler(threads[0]), policy);
    sched_param param{};
    ASSERT_EQ(sched_getparam(threads[0], &param), 0);
    EXPECT_EQ(param.sched_priority, priority);
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(threads[0], sizeof set, &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &set));
}

ThreadSettings fifo(int priority, int cpu) {
    ThreadSettings s;
    s.policy = ThreadSettings::Policy::kFifo;
    s.priority = priority;
    s.cpus = {cpu};
    s.timer_slack_ns = 1000;
    return s;
}

TEST(RealtimeOptions, ReachTheThreadsAndARefusalIsOneWarning) {
    test::ArmOnBus bus;
    ControllerOptions options;
    options.realtime.control = fifo(20, 0);
    options.realtime.receive = fifo(21, 0);
    options.realtime.search.cpus = {CPU_SETSIZE - 1};  // no such CPU here
    options.realtime.lock_memory = true;
    // The host's thread is a real-time one, as on a real arm's host.
    sched_param host{};
    host.sched_priority = 20;
    ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_FIFO, &host), 0);
    qel::test::CaptureStderr();
    {
        ControllerThread arm(QEL_TEST_URDF, test::kTestBus, 0, options);
        const uint64_t cycles = arm.cycleCount();
        EXPECT_TRUE(test::eventually([&] { return arm.cycleCount() > cycles + 10; }, 10s))
            << "the controller runs without the refused setting";
        expectScheduling("qel-control", SCHED_FIFO, 20, 0);
        expectScheduling("qel-can-receive", SCHED_FIFO, 21, 0);
        // The search, left to its defaults, is below the control thread even
        // though the constructing thread is not.
        const std::vector<pid_t> search = threadsNamed("qel-pose-search");
        ASSERT_EQ(search.size(), 1u);
        EXPECT_EQ(sched_getscheduler(search[0]), SCHED_OTHER);
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(search[0])), 10);
    }
    const std::string err = qel::test::GetCapturedStderr();
    host.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &host);
    const std::string warning = "Warning: real-time setting refused, running without it: pose search thread: ";
    const std::size_t at = err.find(warning);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_NE(err.find("CPU 1023", at), std::string::npos);
    EXPECT_EQ(err.find("Warning:", at + 1), std::string::npos) << "one warning, once";
    EXPECT_TRUE(threadsNamed("qel-control").empty()) << "stopped with the controller";
}

TEST(RealtimeOptions, ARefusalTheHostMadeAnErrorLeavesTheConstructor) {
    test::ArmOnBus bus;
    ControllerOptions options;
    options.realtime.receive.policy = ThreadSettings::Policy::kFifo;
    options.realtime.receive.priority = 100;
    options.realtime.on_refusal = OnRefusal::kThrow;
    try {
        InterfacesThread arm(QEL_TEST_URDF, test::kTestBus, 0, options);
        ADD_FAILURE() << "constructed despite the refusal";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("CAN receive thread"), std::string::npos) << what;
        EXPECT_NE(what.find("priority 100"), std::string::npos) << what;
    }
    EXPECT_TRUE(threadsNamed("qel-can-receive").empty()) << "no thread outlives the failed construction";

    // The same for the control thread, refused after start-up.
    options.realtime.receive = ThreadSettings{};
    options.realtime.control.cpus = {CPU_SETSIZE - 1};
    EXPECT_THROW(ControllerThread(QEL_TEST_URDF, test::kTestBus, 0, options), std::runtime_error);
    EXPECT_TRUE(threadsNamed("qel-control").empty());
    EXPECT_TRUE(threadsNamed("qel-pose-search").empty());
}

}  // namespace
}  // namespace qel::m4
