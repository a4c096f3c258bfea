#include "qel/controller/EndPoseSearch.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qel/controller/ControlLaw.hpp"
#include "qel/output/Output.hpp"

namespace qel::m4::control {
namespace {

constexpr const char* kIkFailedKey = "Inverse kinematics computation failed.";
// Niceness of a search thread left to its defaults: below the control thread,
// which keeps niceness 0, in the competition for a shared core.
constexpr int kSearchNice = 10;

// Without settings of its own the search thread would inherit the policy of
// the thread that built the controller, which is the control thread's too: at
// an equal real-time priority a search could hold the CPU for a whole
// unreachable command. Dropping to ordinary scheduling and a higher niceness
// needs no permission.
void stepBelowTheControlThread() {
    sched_param ordinary{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    const int nice = getpriority(PRIO_PROCESS, self);
    if (nice < kSearchNice) setpriority(PRIO_PROCESS, self, kSearchNice);
}

}  // namespace

bool sameRequest(const EndPoseRequest& a, const EndPoseRequest& b) {
    for (std::size_t i = 0; i < 6; ++i) {
        if (a.command[i] != b.command[i] || a.seed[i] != b.seed[i] || a.from[i] != b.from[i]) {
            return false;
        }
    }
    return true;
}

EndPoseSolver::EndPoseSolver(KinematicDynamicSolver& solver)
    : solver_(solver), seed_(kArmJoints), result_(kArmJoints) {}

bool EndPoseSolver::solvePose(const double* pose, const double* seed, KDL::JntArray& out) {
    const KDL::Frame target(KDL::Rotation::RPY(pose[3], pose[4], pose[5]),
                            KDL::Vector(pose[0], pose[1], pose[2]));
    for (std::size_t i = 0; i < kArmJoints; ++i) seed_(i) = seed[i];
    if (solver_.solveInverseKinematics(target, seed_, out)) return true;
    output::writeRepeated(output::Level::kTrace, output::Stream::kStderr, kIkFailedKey,
                          "Inverse kinematics computation failed.");
    return false;
}

bool EndPoseSolver::solve(const EndPoseRequest& request, double* joints) {
    auto keep = [&] {
        for (std::size_t i = 0; i < kArmJoints; ++i) joints[i] = result_(i);
    };
    if (solvePose(request.command, request.seed, result_)) {
        keep();
        return true;
    }
    double edge[6];
    return searchReachable(
        request.from, request.command,
        [&](const double* probe) {
            if (!solvePose(probe, request.seed, result_)) return false;
            keep();  // the last reachable probe is the furthest one
            return true;
        },
        edge);
}

EndPoseSearchThread::EndPoseSearchThread(const std::string& urdf_path,
                                         const realtime::ThreadSettings& settings)
    : solver_(urdf_path, "base_link", "link6"), search_(solver_), settings_(settings) {
    sem_init(&wake_, 0, 0);
    if (pthread_create(&thread_, nullptr, &EndPoseSearchThread::run, this) != 0) {
        // Without the thread no answer ever comes: pose control holds the
        // arm where it is, and says why.
        output::error("Failed to create thread");
        return;
    }
    started_ = true;
    refusals_ = realtime::applyScheduling(thread_, settings_, "pose search thread");
}

EndPoseSearchThread::~EndPoseSearchThread() {
    stop_.store(true);
    sem_post(&wake_);
    if (started_) pthread_join(thread_, nullptr);
    sem_destroy(&wake_);
}

uint64_t EndPoseSearchThread::post(const EndPoseRequest& request) {
    if (has_last_ && sameRequest(request, last_)) return posted_;
    last_ = request;
    has_last_ = true;
    ++posted_;
    Posted& slot = requests_.writeSlot();
    slot.id = posted_;
    slot.request = request;
    requests_.publish();
    sem_post(&wake_);
    return posted_;
}

void* EndPoseSearchThread::run(void* self) {
    static_cast<EndPoseSearchThread*>(self)->loop();
    return nullptr;
}

void EndPoseSearchThread::loop() {
    // Timer slack and name; scheduling was applied by the creating thread.
    realtime::applyToCurrentThread(settings_, "qel-pose-search");
    if (settings_.policy == realtime::ThreadSettings::Policy::kInherit) stepBelowTheControlThread();
    Posted posted{};
    while (true) {
        while (sem_wait(&wake_) != 0) {
        }
        if (stop_.load()) break;
        // Several posts may have woken it; only the newest is worth solving.
        if (!requests_.take(&posted)) continue;
        EndPoseAnswer& answer = answers_.writeSlot();
        answer.request = posted.id;
        answer.solved = search_.solve(posted.request, answer.joints);
        answers_.publish();
        answered_.store(posted.id);
    }
}

}  // namespace qel::m4::control
