#include "qel/recording/CycleColumns.hpp"

#include <cstring>
#include <limits>

#include "qel/can_motor_dlc/MotorCodec.hpp"

namespace qel::recording {
namespace {

using Type = Hdf5File::Type;
using Entries = CycleColumn::Entries;
using Csv = CycleColumn::Csv;

template <typename T>
void put(void* out, std::size_t index, T value) {
    std::memcpy(static_cast<char*>(out) + index * sizeof(T), &value, sizeof value);
}

template <typename T, std::size_t N>
void putAll(void* out, const T (&values)[N]) {
    std::memcpy(out, values, sizeof values);
}

constexpr double kNotSent = std::numeric_limits<double>::quiet_NaN();

// Motor `index`'s command of the cycle, decoded as the motor decodes it.
hw_interface::HybridJointCmd sentCommand(const CycleSample& s, const RecordingLayout& layout, std::size_t index) {
    hw_interface::CanFrame frame;
    frame.can_id = static_cast<uint32_t>(layout.motor_ids[index]);
    frame.can_dlc = 8;
    std::memcpy(frame.data, s.sent[index].data, sizeof frame.data);
    return hw_interface::unpackImpedanceFrame(frame, layout.torque_range[index]);
}

// A decoded command field per motor; NaN for a motor not commanded.
template <double hw_interface::HybridJointCmd::*Field>
void fillSent(const CycleSample& s, const RecordingLayout& layout, void* out) {
    for (std::size_t i = 0; i < kMotors; ++i) {
        put(out, i, s.sent[i].frames == 0 ? kNotSent : sentCommand(s, layout, i).*Field);
    }
}

constexpr std::array<CycleColumn, kCycleColumnCount> kColumns{{
    {"cycle", Type::kU64, Entries::kOne, "",
     "the cycle's number: the n-th control cycle since the controller started, from 1; a missing number is a lost cycle", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.cycle); }},
    {"time/monotonic_ns", Type::kI64, Entries::kOne, "ns", "cycle start on CLOCK_MONOTONIC", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.monotonic_ns); }},
    {"time/system_ns", Type::kI64, Entries::kOne, "ns",
     "cycle start on the system clock, since 1970-01-01 UTC", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.system_ns); }},
    {"time/late_ns", Type::kI64, Entries::kOne, "ns", "how long after its due time the cycle started",
     Csv::kEach, [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.late_ns); }},
    {"time/work_ns", Type::kI64, Entries::kOne, "ns", "from the cycle's start to the end of its work",
     Csv::kEach, [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.work_ns); }},
    {"state", Type::kI32, Entries::kOne, "",
     "control state the cycle ran: 0 soft, 1 go home, 2 protect, 3 gravity compensation, "
     "4 end-effector control, 5 position control; others damp",
     Csv::kEach, [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.state); }},
    {"fault_latched", Type::kU8, Entries::kOne, "", "1 while a latched fault held the arm damped", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.fault_latched); }},

    {"target/joint_position", Type::kF64, Entries::kMotors, "rad",
     "host joint targets the cycle acted on; the gripper's in its motor's units from its zero", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { putAll(out, s.joint_target); }},
    {"target/gripper_mode", Type::kU8, Entries::kOne, "", "gripper mode: 0 position, 1 torque", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.gripper_mode); }},
    {"target/gripper_fast", Type::kU8, Entries::kOne, "",
     "1: the gripper motor closes its own position loop (fast action)", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.gripper_fast); }},
    {"target/gripper_torque", Type::kF64, Entries::kOne, "current units", "gripper command in torque mode",
     Csv::kEach, [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.gripper_torque); }},
    {"target/pose", Type::kF64, Entries::kPose, "m, m, m, rad, rad, rad",
     "end-effector pose target x, y, z, roll, pitch, yaw (rotation Rz(yaw) Ry(pitch) Rx(roll))", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { putAll(out, s.pose_target); }},

    {"command/frames", Type::kU8, Entries::kMotors, "",
     "command frames each motor was sent in the cycle; 0: not commanded (its command values are NaN)",
     Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) {
         for (std::size_t i = 0; i < kMotors; ++i) put(out, i, s.sent[i].frames);
     }},
    {"command/k_p", Type::kF64, Entries::kMotors, "N*m/rad", "stiffness sent, as the motor decodes it",
     Csv::kEach, fillSent<&hw_interface::HybridJointCmd::k_p>},
    {"command/k_d", Type::kF64, Entries::kMotors, "N*m*s/rad", "damping sent, as the motor decodes it",
     Csv::kEach, fillSent<&hw_interface::HybridJointCmd::k_d>},
    {"command/position", Type::kF64, Entries::kMotors, "rad",
     "position set-point sent, as the motor decodes it; the gripper's raw, in its motor's units", Csv::kEach,
     fillSent<&hw_interface::HybridJointCmd::position>},
    {"command/velocity", Type::kF64, Entries::kMotors, "rad/s", "velocity set-point sent, as the motor decodes it",
     Csv::kEach, fillSent<&hw_interface::HybridJointCmd::velocity>},
    {"command/torque", Type::kF64, Entries::kMotors, "N*m",
     "feed-forward torque sent, as the motor decodes it (the gripper's is its current command)", Csv::kEach,
     fillSent<&hw_interface::HybridJointCmd::torque>},
    {"command/payload", Type::kU8, Entries::kPayload, "",
     "the eight data bytes of the last command frame each motor was sent", Csv::kOmitted,
     [](const CycleSample& s, const RecordingLayout&, void* out) {
         for (std::size_t i = 0; i < kMotors; ++i) std::memcpy(static_cast<uint8_t*>(out) + 8 * i, s.sent[i].data, 8);
     }},

    {"measured/position", Type::kF64, Entries::kMotors, "rad",
     "measured at the end of the cycle; the gripper's in its motor's units from its zero", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { putAll(out, s.position); }},
    {"measured/velocity", Type::kF64, Entries::kMotors, "rad/s", "measured at the end of the cycle",
     Csv::kEach, [](const CycleSample& s, const RecordingLayout&, void* out) { putAll(out, s.velocity); }},
    {"measured/current", Type::kF64, Entries::kMotors, "current units",
     "motor current measured at the end of the cycle", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { putAll(out, s.current); }},

    {"errors/count", Type::kU32, Entries::kOne, "",
     "error codes the cycle appended; more than 16 keeps only the first 16", Csv::kEach,
     [](const CycleSample& s, const RecordingLayout&, void* out) { put(out, 0, s.code_count); }},
    {"errors/codes", Type::kI32, Entries::kCodes, "",
     "the codes in the order appended, 0 past the count (codes as getErrorCode)", Csv::kSpaced,
     [](const CycleSample& s, const RecordingLayout&, void* out) { putAll(out, s.codes); }},
}};

static_assert(kColumns.back().path != nullptr, "every column of the table is written out");

}  // namespace

const std::array<CycleColumn, kCycleColumnCount> kCycleColumns = kColumns;

void writeFileIdentity(Hdf5File& file, const std::string& format, const std::string& library_version,
                       int robot_variant, double cycle_rate_hz) {
    file.attribute(Hdf5File::kRoot, "format", format);
    file.attribute(Hdf5File::kRoot, "format_version", int64_t{1});
    file.attribute(Hdf5File::kRoot, "library_version", library_version);
    file.attribute(Hdf5File::kRoot, "hdf5_version", Hdf5File::libraryVersion());
    file.attribute(Hdf5File::kRoot, "robot_variant", int64_t{robot_variant});
    file.attribute(Hdf5File::kRoot, "cycle_rate_hz", cycle_rate_hz);
    file.attribute(Hdf5File::kRoot, "joint_names", jointNames());
}

std::vector<std::string> jointNames() { return std::vector<std::string>(kJointNames.begin(), kJointNames.end()); }

std::vector<std::size_t> rowShape(const CycleColumn& column) {
    switch (column.entries) {
        case Entries::kOne: return {};
        case Entries::kMotors: return {kMotors};
        case Entries::kPose: return {kPoseNames.size()};
        case Entries::kCodes: return {kCycleCodes};
        case Entries::kPayload: return {kMotors, 8};
    }
    return {};
}

std::size_t rowElements(const CycleColumn& column) {
    std::size_t n = 1;
    for (const std::size_t d : rowShape(column)) n *= d;
    return n;
}

std::size_t elementBytes(Hdf5File::Type type) {
    switch (type) {
        case Type::kU8: return 1;
        case Type::kI32:
        case Type::kU32: return 4;
        case Type::kI64:
        case Type::kU64:
        case Type::kF64: return 8;
    }
    return 8;
}

}  // namespace qel::recording
