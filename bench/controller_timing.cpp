// Timing of the running controller against the virtual arm.
//
// For position control, gravity compensation, and end-effector control to a
// reachable and to an unreachable pose, it reports the control period
// (mean, median, p99, p99.9, max, from the control thread's own cycle-start
// timestamps), the work time per cycle, the cycles that missed their
// deadline, command frames per second per motor, feedback frames per second,
// and the heap allocations on the control and receive threads. It runs once
// with default settings and once with the real-time settings of
// docs/realtime.md (SCHED_FIFO needs root or CAP_SYS_NICE; refusals are
// warnings). The soak mode cycles through the states for N minutes and
// reports missed deadlines, the longest cycle and resident memory at start
// and end. It reports and never fails.
//
// Built twice: controller_timing runs on the kernel's vcan0 (inside
// scripts/with-vcan), controller_timing_inprocess natively on the in-process
// bus.
//
// With --record DIR every phase is also recorded (HDF5, DIR/<phase>.h5) and
// the cycles written and lost are reported after its row, so that the two
// tables with and without recording compare the work time.
//
//   controller_timing [SECONDS_PER_PHASE=5] [--default|--realtime] [--soak MINUTES] [--record DIR]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

double percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0.0;
    return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))];
}

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
    std::vector<double> periods_ms;
    std::vector<double> work_ms;
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
                    if (last_start_ != 0) into->periods_ms.push_back((records[i].start_ns - last_start_) / 1e6);
                    into->work_ms.push_back(records[i].work_ns / 1e6);
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
// every 100 ms.
PhaseResult measure(const char* name, ControllerThread& arm, double seconds,
                    const std::function<void(double)>& body) {
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
    std::printf("%-22s %7s %7s %7s %7s %7s | %7s %7s %7s | %6s | %-28s %7s | %s\n", "phase", "mean", "med", "p99",
                "p99.9", "max", "w.med", "w.p99", "w.max", "missed", "cmd frames/s (1 2 4 5 6 7 8)", "fb/s",
                "allocs ctl/rx");
    std::printf("%-22s %39s | %23s |\n", "", "period ms", "work ms");
}

void printRow(PhaseResult r) {
    std::sort(r.periods_ms.begin(), r.periods_ms.end());
    std::sort(r.work_ms.begin(), r.work_ms.end());
    std::string rates;
    for (int id : kMotorIds) {
        char cell[16];
        std::snprintf(cell, sizeof cell, "%.0f ", r.frames[static_cast<uint32_t>(id)] / r.seconds);
        rates += cell;
    }
    double sum = 0.0;
    for (double p : r.periods_ms) sum += p;
    const double mean = r.periods_ms.empty() ? 0.0 : sum / static_cast<double>(r.periods_ms.size());
    std::printf("%-22s %7.4f %7.3f %7.3f %7.3f %7.3f | %7.3f %7.3f %7.3f | %6llu | %-28s %7.0f | %ld/%ld\n",
                r.name.c_str(), mean, percentile(r.periods_ms, 0.5), percentile(r.periods_ms, 0.99),
                percentile(r.periods_ms, 0.999), r.periods_ms.empty() ? 0.0 : r.periods_ms.back(),
                percentile(r.work_ms, 0.5), percentile(r.work_ms, 0.99),
                r.work_ms.empty() ? 0.0 : r.work_ms.back(), static_cast<unsigned long long>(r.missed),
                rates.c_str(), r.frames[0] / r.seconds, r.control_allocs, r.receive_allocs);
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

void soak(const ControllerOptions& options, double minutes) {
    Rig rig(options);
    ControllerThread& arm = rig.arm;
    const std::vector<double>& home_pose = rig.home_pose;
    const long rss_start = residentKiB();
    const long control = qel::test::allocationsOfThreadsNamed("qel-control");
    const long receive = qel::test::allocationsOfThreadsNamed("qel-can-receive");
    const uint64_t missed = arm.missedDeadlines();
    const uint64_t cycles = arm.cycleCount();
    CycleLog log(arm);
    log.restart();
    PhaseResult all;
    std::map<int, long> codes;
    const auto start = std::chrono::steady_clock::now();
    for (double t = 0; t < minutes * 60;) {
        // Ten seconds each: position moves, pose within reach, pose out of
        // reach, gravity compensation.
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
        std::this_thread::sleep_for(100ms);
        for (const int code : arm.getErrorCode()) ++codes[code];
        log.drain(&all);
        // Bounded memory for hours of samples: keep only the worst.
        if (all.periods_ms.size() > 100000) {
            std::sort(all.periods_ms.begin(), all.periods_ms.end());
            all.periods_ms.erase(all.periods_ms.begin(), all.periods_ms.end() - 1000);
            std::sort(all.work_ms.begin(), all.work_ms.end());
            all.work_ms.erase(all.work_ms.begin(), all.work_ms.end() - 1000);
        }
        t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    arm.setArmStatus(ControllerBase::PROTECT);
    std::printf("\nsoak, %.1f min: %llu cycles, %llu missed deadlines, longest period %.3f ms, "
                "longest work %.3f ms, resident memory %ld KiB at start, %ld KiB at end, "
                "allocations control/receive %ld/%ld\n",
                minutes, static_cast<unsigned long long>(arm.cycleCount() - cycles),
                static_cast<unsigned long long>(arm.missedDeadlines() - missed),
                all.periods_ms.empty() ? 0.0 : *std::max_element(all.periods_ms.begin(), all.periods_ms.end()),
                all.work_ms.empty() ? 0.0 : *std::max_element(all.work_ms.begin(), all.work_ms.end()),
                rss_start, residentKiB(), qel::test::allocationsOfThreadsNamed("qel-control") - control,
                qel::test::allocationsOfThreadsNamed("qel-can-receive") - receive);
    std::printf("error codes (code x count):");
    for (const auto& [code, count] : codes) std::printf(" %d x %ld", code, count);
    std::printf("%s\n", codes.empty() ? " none" : "");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5.0;
    double soak_minutes = 0.0;
    bool with_default = true;
    bool with_realtime = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--default") == 0) {
            with_realtime = false;
        } else if (std::strcmp(argv[i], "--realtime") == 0) {
            with_default = false;
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
    if (soak_minutes > 0) {
        soak(with_realtime ? realtimeOptions() : ControllerOptions{}, soak_minutes);
        return 0;
    }
    if (with_default) runPhases("default settings", ControllerOptions{}, seconds);
    if (with_realtime) {
        runPhases("real-time settings (control FIFO 80, receive FIFO 81, both pinned; memory locked)",
                  realtimeOptions(), seconds);
    }
    return 0;
}
