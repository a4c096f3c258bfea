#pragma once

#include <cstdint>

namespace qel::hw_interface {

// One classic CAN frame, laid out byte for byte like the kernel's `can_frame`
// so it can be written to and read from a raw CAN socket as it is.
struct CanFrame {
    uint32_t can_id = 0;  // 11-bit standard identifier, no flag bits
    uint8_t can_dlc = 0;  // data length code, 0 to 8
    uint8_t __pad = 0;
    uint8_t __res0 = 0;
    uint8_t __res1 = 0;
    uint8_t data[8] = {};
};
static_assert(sizeof(CanFrame) == 16, "CanFrame must match the kernel's can_frame");

enum can_adapter_t : uint32_t {
    ADAPTER_NONE = 0,
    ADAPTER_SOCKETCAN = 1,
    ADAPTER_SLCAN = 2,
    ADAPTER_LOGFILE = 3,
};

// Abstract CAN adapter.
class CanBase {
public:
    // Opens the named network interface. True on success.
    virtual bool Init(const char* interface) = 0;
    // Transmits one frame now. True when the whole frame was written.
    virtual bool ExchangeData(CanFrame* frame) = 0;
    virtual bool WriteData() = 0;
    virtual bool ReadData() = 0;
    // True while a socket is open.
    virtual bool IsOpen() = 0;
    // Declared after the operations so that they keep the first five slots.
    virtual ~CanBase() = default;

    CanFrame frame;  // kept for layout compatibility; unused
};

}  // namespace qel::hw_interface
