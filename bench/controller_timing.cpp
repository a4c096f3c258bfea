// Timing of the running controller against the virtual arm.
//
// For position control, gravity compensation, and end-effector control to a
// reachable and to an unreachable pose, it reports the control period, each
// cycle's wake-up lateness (how long after its due time it began) and its
// work time (median, p99, p99.9, max, from the control thread's own cycle
// records), the cycles that missed their deadline, command frames per second
// per motor, feedback frames per second, and the heap allocations on the
// control and receive threads. It runs once with default settings and once
// with the real-time settings of docs/realtime.md (SCHED_FIFO needs root or
// CAP_SYS_NICE; refusals are warnings). It reports and never fails.
//
// --cyclictest runs the machine's own latency test, cyclictest (rt-tests), at
// the control thread's policy, priority, CPUs and 5 ms interval beside a
// position-control phase of the same length, and prints both wake-up
// lateness distributions and their ratio: the loop's tail should be the
// machine's, not more.
//
// --soak MINUTES cycles through the states and prints, every minute, the
// cycles run, missed deadlines, the longest work time and lateness of that
// minute and overall, and resident memory. The tool itself keeps fixed-size
// histograms only, so resident growth is the library's (or the simulator's).
//
// Built twice: controller_timing runs on the kernel's vcan0 (inside
// scripts/with-vcan), controller_timing_inprocess natively on the in-process
// bus.
//
// With --record DIR every phase is also recorded (HDF5, DIR/<phase>.h5) and
// the cycles written and lost are reported after its row, so that the two
// tables with and without recording compare the work time.
//
//   controller_timing [SECONDS_PER_PHASE=5] [--default|--realtime] [--cyclictest] [--soak MINUTES] [--record DIR]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qel/controller/ControllerThread.hpp"
#include "qel/output/Output.hpp"
#include "qel/solver/Exercise.hpp"
#include "sim/VirtualArm.hpp"
#include "support/CanRecorder.hpp"
#include "support/ThreadAllocations.hpp"

namespace {

using namespace std::chrono_literals;
using qel::m4::ControllerBase;
using qel::m4::ControllerOptions;
using qel::m4::ControllerThread;
using qel::m4::ThreadSettings;

constexpr const char* kBus = "vcan0";
constexpr int kMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};

ControllerOptions realtimeOptions() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const int rt_cpu = static_cast<int>(cpus > 1 ? cpus - 1 : 0);
    ControllerOptions o;
    o.realtime.control.policy = ThreadSettings::Policy::kFifo;
    o.realtime.control.priority = 80;
    o.realtime.control.cpus = {rt_cpu};
    o.realtime.control.timer_slack_ns = 1000;
    o.realtime.receive.policy = ThreadSettings::Policy::kFifo;
    o.realtime.receive.priority = 81;
    o.realtime.receive.cpus = {rt_cpu};
    o.realtime.receive.timer_slack_ns = 1000;
    if (cpus > 1) o.realtime.search.cpus = {0};
    o.realtime.lock_memory = true;
    return o;
}

// A distribution of durations in whole microseconds, in a fixed array: the
// soak adds hours of samples without growing.
class Histogram {
public:
    static constexpr int kMaxMicros = 20000;

    void addNanos(int64_t ns) { addMicros(ns / 1000); }
    void addMicros(int64_t us, uint64_t count = 1) {
        if (us < 0) us = 0;
        if (us > kMaxMicros) {
            overflow_ += count;
        } else {
            counts_[static_cast<std::size_t>(us)] += count;
        }
        total_ += count;
        max_ = std::max(max_, us);
    }
    void merge(const Histogram& other) {
        for (int us = 0; us <= kMaxMicros; ++us) counts_[static_cast<std::size_t>(us)] += other.counts_[static_cast<std::size_t>(us)];
        overflow_ += other.overflow_;
        total_ += other.total_;
        max_ = std::max(max_, other.max_);
    }
    // The smallest value with at least q of the samples at or below it (µs);
    // kMaxMicros + 1 when that lies in the overflow.
    int64_t percentile(double q) const {
        if (total_ == 0) return 0;
        const auto needed = static_cast<uint64_t>(std::ceil(q * static_cast<double>(total_)));
        uint64_t seen = 0;
        for (int us = 0; us <= kMaxMicros; ++us) {
            seen += counts_[static_cast<std::size_t>(us)];
            if (seen >= needed && seen > 0) return us;
        }
        return kMaxMicros + 1;
    }
    int64_t max() const { return max_; }
    uint64_t total() const { return total_; }

private:
    std::vector<uint64_t> counts_ = std::vector<uint64_t>(kMaxMicros + 1, 0);
    uint64_t overflow_ = 0;
    uint64_t total_ = 0;
    int64_t max_ = 0;
};

long residentKiB() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0;
    long resident = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Where --record puts each phase's recording; empty: no recording.
std::string g_record_dir;

struct PhaseResult {
    std::string name;
    Histogram period;
    Histogram lateness;
    Histogram work;
    uint64_t missed = 0;
    double seconds = 0;
    std::map<uint32_t, size_t> frames;
    long control_allocs = 0;
    long receive_allocs = 0;
    qel::m4::RecordingStatus recording;
};

// Collects the cycle records of the running controller.
class CycleLog {
public:
    explicit CycleLog(ControllerThread& arm) : arm_(arm) {}
    void drain(PhaseResult* into) {
        ControllerThread::CycleRecord records[512];
        size_t n;
        while ((n = arm_.takeCycleRecords(records, 512)) > 0) {
            for (size_t i = 0; i < n; ++i) {
                if (into != nullptr) {
                    if (last_start_ != 0) into->period.addNanos(records[i].start_ns - last_start_);
                    into->lateness.addNanos(records[i].late_ns);
                    into->work.addNanos(records[i].work_ns);
                }
                last_start_ = records[i].start_ns;
            }
        }
    }
    void restart() {
        drain(nullptr);
        last_start_ = 0;
    }

private:
    ControllerThread& arm_;
    int64_t last_start_ = 0;
};

// Runs `body` (which sends commands) for `seconds`, draining cycle records
// every 100 ms. `started` runs once the measurement has begun.
PhaseResult measure(const char* name, ControllerThread& arm, double seconds,
                    const std::function<void(double)>& body, const std::function<void()>& started = {}) {
    PhaseResult r;
    r.name = name;
    CycleLog log(arm);
    qel::test::CanRecorder wire(kBus);
    body(0.0);
    std::this_thread::sleep_for(300ms);  // let the state settle in
    log.restart();
    wire.clear();
    if (!g_record_dir.empty()) {
        std::string file = name;
        for (char& c : file) {
            if (c == ' ' || c == ',') c = '-';
        }
        arm.startRecording(g_record_dir + "/" + file + ".h5");
    }
    const uint64_t missed = arm.missedDeadlines();
    const long control = qel::test::allocationsOfThreadsNamed("qel-control");
    const long receive = qel::test::allocationsOfThreadsNamed("qel-can-receive");
    if (started) started();
    const auto start = std::chrono::steady_clock::now();
    for (double t = 0; t < seconds;) {
        std::this_thread::sleep_for(100ms);
        t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        body(t);
        log.drain(&r);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.missed = arm.missedDeadlines() - missed;
    r.control_allocs = qel::test::allocationsOfThreadsNamed("qel-control") - control;
    r.receive_allocs = qel::test::allocationsOfThreadsNamed("qel-can-receive") - receive;
    for (const auto& f : wire.frames()) ++r.frames[f.frame.can_id];
    if (!g_record_dir.empty()) r.recording = arm.stopRecording();
    return r;
}

void printHeader() {
    std::printf("%-22s %6s %6s %6s %6s | %6s %6s %6s %6s | %6s %6s %6s | %6s | %-28s %7s | %s\n", "phase",
                "med", "p99", "p99.9", "max", "med", "p99", "p99.9", "max", "med", "p99", "max", "missed",
                "cmd frames/s (1 2 4 5 6 7 8)", "fb/s", "allocs ctl/rx");
    std::printf("%-22s %27s | %27s | %20s |\n", "", "period us", "wake-up lateness us", "work us");
}

void printRow(const PhaseResult& r) {
    std::string rates;
    for (int id : kMotorIds) {
        char cell[16];
        std::snprintf(cell, sizeof cell, "%.0f ", r.frames.count(static_cast<uint32_t>(id)) ? r.frames.at(static_cast<uint32_t>(id)) / r.seconds : 0.0);
        rates += cell;
    }
    const double feedback = r.frames.count(0) ? r.frames.at(0) / r.seconds : 0.0;
    std::printf("%-22s %6lld %6lld %6lld %6lld | %6lld %6lld %6lld %6lld | %6lld %6lld %6lld | %6llu | %-28s %7.0f | %ld/%ld\n",
                r.name.c_str(), static_cast<long long>(r.period.percentile(0.5)),
                static_cast<long long>(r.period.percentile(0.99)), static_cast<long long>(r.period.percentile(0.999)),
                static_cast<long long>(r.period.max()), static_cast<long long>(r.lateness.percentile(0.5)),
                static_cast<long long>(r.lateness.percentile(0.99)),
                static_cast<long long>(r.lateness.percentile(0.999)), static_cast<long long>(r.lateness.max()),
                static_cast<long long>(r.work.percentile(0.5)), static_cast<long long>(r.work.percentile(0.99)),
                static_cast<long long>(r.work.max()), static_cast<unsigned long long>(r.missed), rates.c_str(),
                feedback, r.control_allocs, r.receive_allocs);
    if (!r.recording.path.empty()) {
        std::printf("%-22s recorded %llu cycles, %llu lost, to %s%s%s\n", "",
                    static_cast<unsigned long long>(r.recording.written),
                    static_cast<unsigned long long>(r.recording.lost), r.recording.path.c_str(),
                    r.recording.error.empty() ? "" : ": ", r.recording.error.c_str());
    }
}

std::vector<double> poseNear(ControllerThread& arm, double dz) {
    std::vector<double> p(6);
    qel::solve::Isometry2Xyzrpy(arm.getEndPose(), p.data());
    p[2] += dz;
    return p;
}

// Far outside the arm's reach, inside the workspace box, with the hand's
// orientation at `pose`.
std::vector<double> unreachableFrom(std::vector<double> pose) {
    pose[0] = pose[1] = pose[2] = 0.53;
    return pose;
}

// The virtual arm on the bus, started before the controller homes on it.
struct StartedSim {
    static qel::sim::VirtualArmOptions onBus() {
        qel::sim::VirtualArmOptions o;
        o.interface = kBus;
        return o;
    }
    StartedSim() : sim(onBus()) { sim.start(); }
    qel::sim::VirtualArm sim;
};

struct Rig : StartedSim {
    explicit Rig(const ControllerOptions& options)
        : arm(QEL_URDF_PATH, kBus, 0, options), home_pose(poseNear(arm, 0.0)) {}
    ControllerThread arm;
    std::vector<double> home_pose;
};

void runPhases(const char* title, const ControllerOptions& options, double seconds) {
    Rig rig(options);
    ControllerThread& arm = rig.arm;
    const std::vector<double>& home_pose = rig.home_pose;
    std::printf("\n%s\n", title);
    printHeader();

    printRow(measure("position control", arm, seconds, [&](double t) {
        const double target = static_cast<long>(t / 0.5) % 2 == 0 ? 0.3 : 0.1;
        arm.setJointPositions({0.0, target, target, 0.0, 0.0, 0.0});
        if (t == 0.0) arm.setArmStatus(ControllerBase::POSITION_CONTROL);
    }));
    printRow(measure("gravity compensation", arm, seconds, [&](double t) {
        if (t == 0.0) arm.setArmStatus(ControllerBase::G_COMPENSATION);
    }));
    arm.setJointPositions({0, 0, 0, 0, 0, 0});
    arm.setArmStatus(ControllerBase::POSITION_CONTROL);
    std::this_thread::sleep_for(2s);
    printRow(measure("pose, reachable", arm, seconds, [&](double t) {
        std::vector<double> p = home_pose;
        p[2] += static_cast<long>(t / 0.5) % 2 == 0 ? 0.03 : 0.0;
        arm.setEndPose(qel::solve::Xyzrpy2Isometry(p.data()));
        if (t == 0.0) arm.setArmStatus(ControllerBase::END_CONTROL);
    }));
    printRow(measure("pose, unreachable", arm, seconds, [&](double t) {
        if (t != 0.0) return;
        const std::vector<double> p = unreachableFrom(home_pose);
        arm.setEndPose(qel::solve::Xyzrpy2Isometry(p.data()));
        arm.setArmStatus(ControllerBase::END_CONTROL);
    }));
    arm.setArmStatus(ControllerBase::PROTECT);
    const auto codes = arm.getErrorCode();
    std::printf("error codes during the run: %zu\n", codes.size());
}

// The commands of the soak: ten seconds each of position moves, a pose
// within reach, a pose out of reach, gravity compensation.
void soakCommand(ControllerThread& arm, const std::vector<double>& home_pose, double t) {
    const int phase = static_cast<int>(t / 10) % 4;
    std::vector<double> p = home_pose;
    switch (phase) {
        case 0:
            arm.setJointPositions({0.0, 0.3 * (static_cast<long>(t) % 2), 0.2, 0.0, 0.0, 0.0});
            arm.setArmStatus(ControllerBase::POSITION_CONTROL);
            break;
        case 1:
            p[2] += 0.03 * (static_cast<long>(t) % 2);
            arm.setEndPose(qel::solve::Xyzrpy2Isometry(p.data()));
            arm.setArmStatus(ControllerBase::END_CONTROL);
            break;
        case 2:
            p = unreachableFrom(home_pose);
            arm.setEndPose(qel::solve::Xyzrpy2Isometry(p.data()));
            arm.setArmStatus(ControllerBase::END_CONTROL);
            break;
        default:
            arm.setArmStatus(ControllerBase::G_COMPENSATION);
    }
}

void soak(const ControllerOptions& options, double minutes) {
    Rig rig(options);
    ControllerThread& arm = rig.arm;
    const long rss_start = residentKiB();
    const long control = qel::test::allocationsOfThreadsNamed("qel-control");
    const long receive = qel::test::allocationsOfThreadsNamed("qel-can-receive");
    const uint64_t missed_start = arm.missedDeadlines();
    const uint64_t cycles_start = arm.cycleCount();
    CycleLog log(arm);
    log.restart();
    PhaseResult all;
    PhaseResult minute;
    std::map<int, long> codes;
    std::printf("\nsoak, %.1f min, %s\n", minutes, options.realtime.lock_memory ? "real-time settings" : "default settings");
    std::printf("%6s %9s %7s %7s | %10s %10s | %10s %10s | %9s\n", "minute", "cycles", "missed", "total",
                "work max", "overall", "late max", "overall", "RSS KiB");
    std::fflush(stdout);
    uint64_t minute_cycles = arm.cycleCount();
    uint64_t minute_missed = arm.missedDeadlines();
    int minute_number = 0;
    const auto start = std::chrono::steady_clock::now();
    for (double t = 0; t < minutes * 60;) {
        soakCommand(arm, rig.home_pose, t);
        std::this_thread::sleep_for(100ms);
        for (const int code : arm.getErrorCode()) ++codes[code];
        log.drain(&minute);
        t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (t >= 60.0 * (minute_number + 1) || t >= minutes * 60) {
            ++minute_number;
            all.work.merge(minute.work);
            all.lateness.merge(minute.lateness);
            const uint64_t cycles = arm.cycleCount();
            const uint64_t missed = arm.missedDeadlines();
            std::printf("%6d %9llu %7llu %7llu | %7lld us %7lld us | %7lld us %7lld us | %9ld\n", minute_number,
                        static_cast<unsigned long long>(cycles - minute_cycles),
                        static_cast<unsigned long long>(missed - minute_missed),
                        static_cast<unsigned long long>(missed - missed_start),
                        static_cast<long long>(minute.work.max()), static_cast<long long>(all.work.max()),
                        static_cast<long long>(minute.lateness.max()), static_cast<long long>(all.lateness.max()),
                        residentKiB());
            std::fflush(stdout);
            minute = PhaseResult{};
            minute_cycles = cycles;
            minute_missed = missed;
        }
    }
    arm.setArmStatus(ControllerBase::PROTECT);
    std::printf("soak, %.1f min: %llu cycles, %llu missed deadlines, longest work %lld us, longest lateness "
                "%lld us, lateness median/p99/p99.9 %lld/%lld/%lld us, resident memory %ld KiB at start, %ld KiB "
                "at end, allocations control/receive %ld/%ld\n",
                minutes, static_cast<unsigned long long>(arm.cycleCount() - cycles_start),
                static_cast<unsigned long long>(arm.missedDeadlines() - missed_start),
                static_cast<long long>(all.work.max()), static_cast<long long>(all.lateness.max()),
                static_cast<long long>(all.lateness.percentile(0.5)), static_cast<long long>(all.lateness.percentile(0.99)),
                static_cast<long long>(all.lateness.percentile(0.999)), rss_start, residentKiB(),
                qel::test::allocationsOfThreadsNamed("qel-control") - control,
                qel::test::allocationsOfThreadsNamed("qel-can-receive") - receive);
    std::printf("error codes (code x count):");
    for (const auto& [code, count] : codes) std::printf(" %d x %ld", code, count);
    std::printf("%s\n", codes.empty() ? " none" : "");
}

// cyclictest at the control thread's settings: its arguments.
std::vector<std::string> cyclictestArguments(const ThreadSettings& control, bool lock_memory, double seconds,
                                             const std::string& histogram_file) {
    std::vector<std::string> args = {"cyclictest", "-q", "-t1", "-i", "5000",
                                     "-D", std::to_string(static_cast<long>(std::ceil(seconds))),
                                     "-h", std::to_string(Histogram::kMaxMicros), "--histfile=" + histogram_file,
                                     // Measures the machine as it is set up; it must not retune
                                     // power management under the controller either.
                                     "--default-system"};
    switch (control.policy) {
        case ThreadSettings::Policy::kFifo:
            args.insert(args.end(), {"--policy=fifo", "-p", std::to_string(control.priority)});
            break;
        case ThreadSettings::Policy::kRoundRobin:
            args.insert(args.end(), {"--policy=rr", "-p", std::to_string(control.priority)});
            break;
        default:
            args.insert(args.end(), {"--policy=other"});
    }
    if (!control.cpus.empty()) {
        std::string cpus;
        for (int cpu : control.cpus) cpus += (cpus.empty() ? "" : ",") + std::to_string(cpu);
        args.insert(args.end(), {"-a", cpus});
    }
    if (lock_memory) args.emplace_back("-m");
    return args;
}

// Reads cyclictest's histogram file ("µs count" lines; overflows counted).
bool readCyclictestHistogram(const std::string& path, Histogram* into) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        long long us = 0;
        unsigned long long count = 0;
        if (line.rfind("# Histogram Overflows:", 0) == 0) {
            count = std::strtoull(line.c_str() + 22, nullptr, 10);
            if (count > 0) into->addMicros(Histogram::kMaxMicros + 1, count);
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        if (std::sscanf(line.c_str(), "%lld %llu", &us, &count) == 2) {
            if (count > 0) into->addMicros(us, count);
            any = true;
        }
    }
    return any;
}

// Position control beside cyclictest at the control thread's settings, both
// for `seconds`: the loop's wake-up lateness against the machine's.
void compareWithCyclictest(const char* title, const ControllerOptions& options, double seconds) {
    Rig rig(options);
    ControllerThread& arm = rig.arm;
    char path[] = "/tmp/qel-cyclictest.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return;
    close(fd);
    const std::vector<std::string> args =
        cyclictestArguments(options.realtime.control, options.realtime.lock_memory, seconds, path);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    PhaseResult loop = measure("position control", arm, seconds, [&](double t) {
        const double target = static_cast<long>(t / 0.5) % 2 == 0 ? 0.3 : 0.1;
        arm.setJointPositions({0.0, target, target, 0.0, 0.0, 0.0});
        if (t == 0.0) arm.setArmStatus(ControllerBase::POSITION_CONTROL);
    }, [&] {
        if (posix_spawnp(&child, "cyclictest", nullptr, nullptr, argv.data(), environ) != 0) child = -1;
    });
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    Histogram machine;
    const bool read = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                      readCyclictestHistogram(path, &machine);
    unlink(path);
    std::printf("\n%s, %.0f s: wake-up lateness of the control thread and of cyclictest beside it\n", title, seconds);
    std::printf("  %s\n", command.c_str());
    if (!read) {
        std::printf("  cyclictest did not run or failed (is rt-tests installed; may this user use the policy?)\n");
        printRow(loop);
        return;
    }
    const auto row = [](const char* name, const Histogram& h) {
        std::printf("  %-26s %8lld %8lld %8lld %8lld %9llu\n", name, static_cast<long long>(h.percentile(0.5)),
                    static_cast<long long>(h.percentile(0.99)), static_cast<long long>(h.percentile(0.999)),
                    static_cast<long long>(h.max()), static_cast<unsigned long long>(h.total()));
    };
    const auto ratio = [](int64_t a, int64_t b) { return b > 0 ? static_cast<double>(a) / static_cast<double>(b) : 0.0; };
    std::printf("  %-26s %8s %8s %8s %8s %9s\n", "lateness, us", "median", "p99", "p99.9", "max", "samples");
    row("control thread", loop.lateness);
    row("cyclictest", machine);
    std::printf("  %-26s %8.2f %8.2f %8.2f %8.2f\n", "ratio (control/cyclictest)",
                ratio(loop.lateness.percentile(0.5), machine.percentile(0.5)),
                ratio(loop.lateness.percentile(0.99), machine.percentile(0.99)),
                ratio(loop.lateness.percentile(0.999), machine.percentile(0.999)),
                ratio(loop.lateness.max(), machine.max()));
    std::printf("  missed deadlines %llu; overflow bucket above %d us\n",
                static_cast<unsigned long long>(loop.missed), Histogram::kMaxMicros);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5.0;
    double soak_minutes = 0.0;
    bool with_default = true;
    bool with_realtime = true;
    bool cyclictest = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--default") == 0) {
            with_realtime = false;
        } else if (std::strcmp(argv[i], "--realtime") == 0) {
            with_default = false;
        } else if (std::strcmp(argv[i], "--cyclictest") == 0) {
            cyclictest = true;
        } else if (std::strcmp(argv[i], "--soak") == 0 && i + 1 < argc) {
            soak_minutes = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
            g_record_dir = argv[++i];
        } else {
            seconds = std::atof(argv[i]);
        }
    }
    // The library's progress lines would bury the table; warnings stay.
    qel::output::setMinimumLevel(qel::output::Level::kWarning);
    if (!qel::test::countingAvailable()) std::printf("(allocation counting unavailable in this build)\n");
    const char* realtime_title = "real-time settings (control FIFO 80, receive FIFO 81, both pinned; memory locked)";
    if (soak_minutes > 0) {
        soak(with_realtime ? realtimeOptions() : ControllerOptions{}, soak_minutes);
        return 0;
    }
    if (cyclictest) {
        if (with_default) compareWithCyclictest("default settings", ControllerOptions{}, seconds);
        if (with_realtime) compareWithCyclictest(realtime_title, realtimeOptions(), seconds);
        return 0;
    }
    if (with_default) runPhases("default settings", ControllerOptions{}, seconds);
    if (with_realtime) runPhases(realtime_title, realtimeOptions(), seconds);
    return 0;
}
