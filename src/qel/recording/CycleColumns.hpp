#pragma once

// The columns of a cycle recording, as data: each names its dataset, element
// type, row shape, unit and meaning, and fills its part of a row from a
// CycleSample. The HDF5 and the CSV writers both walk this one table, so the
// two formats cannot disagree about what a recording holds.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "qel/recording/CycleSample.hpp"
#include "qel/recording/Hdf5File.hpp"

namespace qel::recording {

// What a recording needs to know about the arm beyond its samples.
struct RecordingLayout {
    std::string library_version;  // of the library that recorded
    int robot_variant = 0;
    std::string can_interface;
    double cycle_rate_hz = 200.0;
    std::array<int, kMotors> motor_ids{};
    // Each motor's command torque range (N·m), with which its frames decode.
    std::array<double, kMotors> torque_range{};
    double gripper_zero = 0.0;  // raw motor position the gripper's zero lies at
};

// The entries of a per-motor row, and of a pose.
inline constexpr std::array<const char*, kMotors> kJointNames{"joint1", "joint2", "joint3", "joint4",
                                                            "joint5", "joint6", "gripper"};
inline constexpr std::array<const char*, 6> kPoseNames{"x", "y", "z", "roll", "pitch", "yaw"};

// The attributes every file the library writes starts with: "format" and
// "format_version" (1), "library_version", "hdf5_version", "robot_variant",
// "cycle_rate_hz" and "joint_names". Throws what Hdf5File throws.
void writeFileIdentity(Hdf5File& file, const std::string& format, const std::string& library_version,
                       int robot_variant, double cycle_rate_hz);
// kJointNames as strings.
std::vector<std::string> jointNames();

struct CycleColumn {
    enum class Entries { kOne, kMotors, kPose, kCodes, kPayload };
    enum class Csv { kEach, kSpaced, kOmitted };  // one CSV field per element, one for all, none

    const char* path;  // dataset path in the HDF5 file
    Hdf5File::Type type;
    Entries entries;
    const char* unit;
    const char* meaning;
    Csv csv;
    // Writes the row's elements, packed in `type`, at `out`.
    void (*fill)(const CycleSample& sample, const RecordingLayout& layout, void* out);
};

// The row shape of a column's dataset: {} for one element, {7}, {6}, {16}
// or {7, 8}.
std::vector<std::size_t> rowShape(const CycleColumn& column);
// Elements per row and bytes per element.
std::size_t rowElements(const CycleColumn& column);
std::size_t elementBytes(Hdf5File::Type type);

inline constexpr std::size_t kCycleColumnCount = 24;
extern const std::array<CycleColumn, kCycleColumnCount> kCycleColumns;

}  // namespace qel::recording
