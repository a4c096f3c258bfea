#pragma once

// The motors' command frame decoded the way the protocol describes it,
// written out here rather than taken from the library's codec, for tests that
// compare what the library says it sent with the bytes on the wire.

#include <cstdint>

namespace qel::test {

struct DecodedCommand {
    double k_p;       // 12 bits over 0 to 500
    double k_d;       // 12 bits over 0 to 5
    double position;  // 16 bits over -12.5 to 12.5 rad
    double velocity;  // 12 bits over -45 to 45 rad/s
    double torque;    // 12 bits over ±the motor's torque range
};

// Bytes: position 0-1, velocity 2 and the high half of 3, k_p the low half of
// 3 and 4, k_d 5 and the high half of 6, torque the low half of 6 and 7; every
// field big-endian, unsigned, scaled linearly over its range.
inline DecodedCommand decodeCommandBytes(const uint8_t* d, double torque_range) {
    const auto scale = [](int raw, int bits, double min, double max) {
        return min + raw * (max - min) / ((1 << bits) - 1);
    };
    DecodedCommand c;
    c.position = scale((d[0] << 8) | d[1], 16, -12.5, 12.5);
    c.velocity = scale((d[2] << 4) | (d[3] >> 4), 12, -45.0, 45.0);
    c.k_p = scale(((d[3] & 0x0F) << 8) | d[4], 12, 0.0, 500.0);
    c.k_d = scale((d[5] << 4) | (d[6] >> 4), 12, 0.0, 5.0);
    c.torque = scale(((d[6] & 0x0F) << 8) | d[7], 12, -torque_range, torque_range);
    return c;
}

}  // namespace qel::test
