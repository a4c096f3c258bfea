#include "apps/FrameText.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "qel/can_motor_dlc/ImpedanceMotor.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "qel/controller/ControlLaw.hpp"

namespace qel::tools {
namespace {

using hw_interface::ImpedanceMotor;

constexpr uint32_t kStandardMask = 0x7FFu;
constexpr uint32_t kExtendedMask = 0x1FFFFFFFu;
constexpr int kFeedbackBytes = 6;  // the feedback fields end in data byte 5
constexpr int kMotorFrameBytes = 8;
constexpr int kMaxFdBytes = 64;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

MotorPlace motorPlace(int motor_id) {
    MotorPlace place;
    for (std::size_t i = 0; i < m4::control::kMotorLayout.size(); ++i) {
        const m4::control::MotorSlot& slot = m4::control::kMotorLayout[i];
        if (slot.motor_id != motor_id) continue;
        place.on_arm = true;
        place.joint = i < m4::control::kArmJoints ? static_cast<int>(i) + 1 : 0;
        place.torque_limit = slot.family == m4::control::MotorFamily::kType1
                                 ? hw_interface::MotorType1::kTorqueLimit
                                 : hw_interface::MotorType2::kTorqueLimit;
        place.online_age_us = motor_id <= ImpedanceMotor::kFastTimeoutMaxId
                                  ? ImpedanceMotor::kFastTimeout.count()
                                  : ImpedanceMotor::kSlowTimeout.count();
    }
    return place;
}

std::string motorName(int motor_id) {
    const MotorPlace place = motorPlace(motor_id);
    if (!place.on_arm) return format("motor %d", motor_id);
    if (place.joint == 0) return format("motor %d (gripper)", motor_id);
    return format("motor %d (joint %d)", motor_id, place.joint);
}

DecodedFrame decodeFrame(const CanFrame& frame) {
    DecodedFrame decoded;
    decoded.can_id = frame.can_id;
    decoded.length = frame.can_dlc;
    auto unknown = [&](Unknown why) {
        decoded.why_unknown = why;
        return decoded;
    };
    if (frame.can_id & kErrorFlag) return unknown(Unknown::kErrorFrame);
    if (frame.can_id & kRemoteFlag) return unknown(Unknown::kRemoteFrame);
    if (frame.can_id & kExtendedFlag) return unknown(Unknown::kExtendedId);

    if (frame.can_id == hw_interface::kFeedbackCanId) {
        decoded.short_feedback = frame.can_dlc < kFeedbackBytes;
        hw_interface::decodeFeedbackFrame(frame, &decoded.feedback);
        decoded.motor_id = decoded.feedback.motor_id;
        if (!motorPlace(decoded.motor_id).on_arm) return unknown(Unknown::kFeedbackOffArm);
        decoded.kind = FrameKind::kFeedback;
        return decoded;
    }
    const MotorPlace place = motorPlace(static_cast<int>(frame.can_id));
    if (!place.on_arm) return unknown(Unknown::kIdentifierOffArm);
    decoded.motor_id = static_cast<int>(frame.can_id);
    if (frame.can_dlc != kMotorFrameBytes) return unknown(Unknown::kWrongLength);
    if (hw_interface::isEnableFrame(frame)) {
        decoded.kind = FrameKind::kEnable;
    } else if (hw_interface::isDisableFrame(frame)) {
        decoded.kind = FrameKind::kDisable;
    } else {
        decoded.kind = FrameKind::kCommand;
        decoded.command = hw_interface::unpackImpedanceFrame(frame, place.torque_limit);
    }
    return decoded;
}

std::string commandText(int motor_id, const hw_interface::HybridJointCmd& command) {
    const bool gripper = motorPlace(motor_id).joint == 0;
    return format("kp %.2f kd %.3f position %+.4f %s velocity %+.3f rad/s torque %+.3f Nm",
                  command.k_p, command.k_d, command.position, gripper ? "raw" : "rad",
                  command.velocity, command.torque);
}

std::string feedbackText(int motor_id, const hw_interface::MotorFeedback& feedback) {
    const bool gripper = motorPlace(motor_id).joint == 0;
    // The controller takes 0 and 1 as a healthy motor and anything else as a
    // fault it must answer.
    const bool healthy = feedback.error_code == 0 || feedback.error_code == 1;
    return format("error %d (%s) position %+.4f %s velocity %+.3f rad/s current %+.3f",
                  feedback.error_code, healthy ? "ok" : "fault", feedback.position,
                  gripper ? "raw" : "rad", feedback.velocity, feedback.current);
}

std::string describeFrame(const DecodedFrame& decoded) {
    const std::string motor = motorName(decoded.motor_id);
    switch (decoded.kind) {
    case FrameKind::kCommand: return "command " + motor + ": " + commandText(decoded.motor_id, decoded.command);
    case FrameKind::kEnable: return "enable " + motor;
    case FrameKind::kDisable: return "disable " + motor;
    case FrameKind::kFeedback: {
        std::string text = "feedback " + motor + ": " + feedbackText(decoded.motor_id, decoded.feedback);
        if (decoded.short_feedback) {
            text += format(" (only %d of %d data bytes; the drivers take it all the same)", decoded.length,
                           kFeedbackBytes);
        }
        return text;
    }
    case FrameKind::kUnknown: break;
    }
    switch (decoded.why_unknown) {
    case Unknown::kErrorFrame: return "unknown: error frame";
    case Unknown::kRemoteFrame:
        return format("unknown: remote frame on identifier 0x%03X", decoded.can_id & kExtendedMask);
    case Unknown::kExtendedId:
        return format("unknown: extended identifier 0x%08X (the motors use standard ones)",
                      decoded.can_id & kExtendedMask);
    case Unknown::kFeedbackOffArm:
        return format("unknown: feedback from motor %d, which is not on the arm", decoded.motor_id);
    case Unknown::kIdentifierOffArm:
        return format("unknown: identifier 0x%03X is not one of the arm's motors", decoded.can_id);
    case Unknown::kWrongLength:
        return format("unknown: %d data bytes for %s (%d needed)", decoded.length, motor.c_str(),
                      kMotorFrameBytes);
    case Unknown::kNone: break;
    }
    return "unknown";
}

std::string describeFrame(const CanFrame& frame) { return describeFrame(decodeFrame(frame)); }

std::string candumpFrameText(const CanFrame& frame) {
    std::string text;
    if (frame.can_id & (kExtendedFlag | kErrorFlag)) {
        text = format("%08X#", frame.can_id & (kExtendedMask | kErrorFlag));
    } else {
        text = format("%03X#", frame.can_id & kStandardMask);
    }
    const int length = frame.can_dlc > 8 ? 8 : frame.can_dlc;
    if (frame.can_id & kRemoteFlag) {
        return length == 0 ? text + "R" : text + format("R%d", length);
    }
    for (int i = 0; i < length; ++i) text += format("%02X", frame.data[i]);
    return text;
}

std::string frameLine(int64_t time_us, const std::string& interface, const CanFrame& frame) {
    if (time_us < 0) time_us = 0;
    return format("(%lld.%06lld) ", static_cast<long long>(time_us / 1000000),
                  static_cast<long long>(time_us % 1000000)) +
           interface + " " + candumpFrameText(frame) + "  " + describeFrame(frame);
}

bool parseCandumpLine(const std::string& line, CandumpLine* out, std::string* error) {
    auto fail = [&](const std::string& reason) {
        *error = reason;
        return false;
    };
    std::size_t at = 0;
    auto skipBlanks = [&] {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    };
    auto word = [&] {
        const std::size_t begin = at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) ++at;
        return line.substr(begin, at - begin);
    };

    // "(seconds.fraction)", the fraction scaled to microseconds.
    skipBlanks();
    if (at >= line.size() || line[at] != '(') return fail("no '(time)' at the start");
    ++at;
    // The time becomes microseconds in 64 bits: seconds beyond what leaves
    // room for them are refused, not wrapped.
    constexpr long long kMaxSeconds = (std::numeric_limits<int64_t>::max() - 999999) / 1000000;
    long long seconds = 0, micros = 0;
    int fraction_digits = 0;
    bool any_second = false;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) {
        const int digit = line[at++] - '0';
        if (seconds > (kMaxSeconds - digit) / 10) return fail("time out of range");
        seconds = seconds * 10 + digit;
        any_second = true;
    }
    if (!any_second || at >= line.size() || line[at] != '.') return fail("time is not seconds.fraction");
    ++at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) {
        if (fraction_digits < 6) micros = micros * 10 + (line[at] - '0');
        ++fraction_digits;
        ++at;
    }
    if (fraction_digits == 0 || at >= line.size() || line[at] != ')') return fail("time is not seconds.fraction");
    ++at;
    for (int i = fraction_digits; i < 6; ++i) micros *= 10;
    out->time_us = seconds * 1000000 + micros;

    skipBlanks();
    out->interface = word();
    skipBlanks();
    out->frame_text = word();
    if (out->interface.empty() || out->frame_text.empty()) return fail("needs '(time) interface frame'");

    // "ID#DATA", "ID#R[length]" or, for CAN FD, "ID##<flags>DATA".
    const std::string& text = out->frame_text;
    const std::size_t hash = text.find('#');
    if (hash == std::string::npos) return fail("frame '" + text + "' has no '#'");
    if (hash != 3 && hash != 8) return fail("identifier of '" + text + "' must have 3 or 8 hex digits");
    uint32_t id = 0;
    for (std::size_t i = 0; i < hash; ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0) return fail("identifier of '" + text + "' is not hexadecimal");
        id = (id << 4) | static_cast<uint32_t>(digit);
    }
    CanFrame frame;
    if (hash == 3) {
        if (id > kStandardMask) return fail("standard identifier of '" + text + "' is above 7FF");
        frame.can_id = id;
    } else if (id & kErrorFlag) {
        frame.can_id = id & (kExtendedMask | kErrorFlag);
    } else {
        if (id > kExtendedMask) return fail("extended identifier of '" + text + "' is above 1FFFFFFF");
        frame.can_id = id | kExtendedFlag;
    }

    std::size_t data = hash + 1;
    out->fd = data < text.size() && text[data] == '#';
    if (out->fd) {
        // One flags digit, then the data; nothing of it reaches `frame`.
        ++data;
        if (data >= text.size() || hexDigit(text[data]) < 0) return fail("CAN FD frame '" + text + "' has no flags digit");
        ++data;
        const std::size_t digits = text.size() - data;
        if (digits % 2 != 0 || digits / 2 > kMaxFdBytes) return fail("data of '" + text + "' is not whole bytes");
        for (std::size_t i = data; i < text.size(); ++i) {
            if (hexDigit(text[i]) < 0) return fail("data of '" + text + "' is not hexadecimal");
        }
        out->frame = frame;
        return true;
    }
    if (data < text.size() && (text[data] == 'R' || text[data] == 'r')) {
        frame.can_id |= kRemoteFlag;
        if (data + 1 < text.size()) {
            const int length = hexDigit(text[data + 1]);
            if (data + 2 != text.size() || length < 0 || length > 8) return fail("remote frame '" + text + "' has a bad length");
            frame.can_dlc = static_cast<uint8_t>(length);
        }
        out->frame = frame;
        return true;
    }
    int length = 0;
    for (std::size_t i = data; i < text.size();) {
        if (text[i] == '.') {  // cansend's optional byte separator
            ++i;
            continue;
        }
        const int high = hexDigit(text[i]);
        const int low = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (high < 0 || low < 0) return fail("data of '" + text + "' is not whole hexadecimal bytes");
        if (length == 8) return fail("frame '" + text + "' has more than 8 data bytes");
        frame.data[length++] = static_cast<uint8_t>((high << 4) | low);
        i += 2;
    }
    frame.can_dlc = static_cast<uint8_t>(length);
    out->frame = frame;
    return true;
}

}  // namespace qel::tools
