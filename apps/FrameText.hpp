#pragma once

// The motors' CAN frames as text: what each frame means (command, enable,
// disable, feedback or unknown) in physical units, one line per frame in the
// candump -L layout followed by the meaning, and the parser for such lines.
// qel-decode and qel-virtual-arm --trace print through these, so the two
// always agree.

#include <cstdint>
#include <string>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/canbase/CanBaseDef.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace qel::tools {

using hw_interface::CanFrame;

// Identifier flag bits of the kernel's frame record (the motors use none).
inline constexpr uint32_t kExtendedFlag = 0x80000000u;
inline constexpr uint32_t kRemoteFlag = 0x40000000u;
inline constexpr uint32_t kErrorFlag = 0x20000000u;

// Where a motor sits on the arm. `joint` is 1 to 6 for the arm joints and 0
// for the gripper.
struct MotorPlace {
    bool on_arm = false;
    int joint = 0;
    double torque_limit = 0.0;  // the family's command torque range, ±
    int64_t online_age_us = 0;  // feedback older than this marks it offline
};

// The place of motor `motor_id`; on_arm is false for an identifier that is
// not one of the arm's motors.
MotorPlace motorPlace(int motor_id);

// "motor 4 (joint 3)", "motor 8 (gripper)", or "motor 3" off the arm.
std::string motorName(int motor_id);

// What one frame is in the motors' protocol.
enum class FrameKind { kCommand, kEnable, kDisable, kFeedback, kUnknown };

// Why a frame is not one of the motors' frames.
enum class Unknown {
    kNone,
    kErrorFrame,          // an error frame of the CAN controller
    kRemoteFrame,         // a remote request
    kExtendedId,          // an extended (29-bit) identifier
    kFeedbackOffArm,      // feedback naming a motor the arm does not have
    kIdentifierOffArm,    // addressed to an identifier that is no motor of the arm
    kWrongLength,         // addressed to a motor, but not 8 data bytes
};

struct DecodedFrame {
    FrameKind kind = FrameKind::kUnknown;
    Unknown why_unknown = Unknown::kNone;
    uint32_t can_id = 0;                   // as received, flag bits included
    int length = 0;                        // data length code
    int motor_id = 0;                      // addressed or answering motor, 0 if none
    hw_interface::HybridJointCmd command;  // for kCommand, in physical units
    hw_interface::MotorFeedback feedback;  // for kFeedback
    // A feedback frame with fewer data bytes than its fields need. The
    // drivers do not look at the length and take it all the same, with
    // whatever the missing bytes hold, so it counts as feedback here too.
    bool short_feedback = false;
};

// Decodes with the motors' own codec. Never throws; anything the motors would
// not take as theirs, or that no motor sends, is kUnknown with a reason.
DecodedFrame decodeFrame(const CanFrame& frame);

// The meaning of a frame as one line of text without a line end, e.g.
// "command motor 1 (joint 1): kp 0.00 kd 0.000 position -0.0002 rad velocity
// -0.011 rad/s torque -0.007 Nm" or "unknown: identifier 0x123 is not a motor
// of the arm". Arm positions are in rad, the gripper's in its motor's own
// unit ("raw").
std::string describeFrame(const DecodedFrame& decoded);
std::string describeFrame(const CanFrame& frame);

// The parts after "<kind> <motor>: " of a command and of a feedback frame.
std::string commandText(int motor_id, const hw_interface::HybridJointCmd& command);
std::string feedbackText(int motor_id, const hw_interface::MotorFeedback& feedback);

// The frame as candump -L writes it: "001#7FFF7FF0000007FF", "12345678#..."
// for an extended identifier, "123#R" for a remote frame.
std::string candumpFrameText(const CanFrame& frame);

// One output line: "(1436509052.249713) vcan0 001#7FFF7FF0000007FF  <meaning>"
// without a line end; `time_us` is microseconds since the epoch. The first
// three fields are a candump -L line, so qel-decode can read its own output.
std::string frameLine(int64_t time_us, const std::string& interface, const CanFrame& frame);

// One line of a candump -L log.
struct CandumpLine {
    int64_t time_us = 0;
    std::string interface;
    CanFrame frame;
    bool fd = false;  // a CAN FD frame: `frame` holds no data then
    std::string frame_text;  // the frame field as written
};

// Parses "(seconds.micros) interface frame" (anything after the third field
// is ignored). Returns false with a reason in `error` for a line that is not
// one, and leaves `out` unspecified then.
bool parseCandumpLine(const std::string& line, CandumpLine* out, std::string* error);

}  // namespace qel::tools
