#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qel/canbase/CanBaseDef.hpp"

namespace qel::test {

using hw_interface::CanFrame;

// The interface bus tests use; scripts/with-vcan provides vcan0 and vcan1.
inline const char* kTestBus = "vcan0";
inline const char* kSecondTestBus = "vcan1";

// One frame seen on the bus, with the time it was read.
struct RecordedFrame {
    std::chrono::steady_clock::time_point time;
    CanFrame frame;
};

// An independent peer on a CAN interface: its own raw socket and reader
// thread record every frame on the bus, and it can transmit frames. Throws
// std::runtime_error if the interface cannot be opened.
class CanRecorder {
public:
    explicit CanRecorder(const std::string& interface = kTestBus);
    ~CanRecorder();
    CanRecorder(const CanRecorder&) = delete;
    CanRecorder& operator=(const CanRecorder&) = delete;

    // Transmits one frame; true when the whole frame was written.
    bool send(const CanFrame& frame);

    std::vector<RecordedFrame> frames() const;
    // Frames read since construction (clear() does not reset it), and frames
    // the kernel dropped for this socket because it was full, as of the last
    // frame read (kernel bus only; 0 on the in-process bus).
    uint64_t received() const;
    uint64_t dropped() const;
    std::vector<RecordedFrame> framesWithId(uint32_t can_id) const;
    void clear();

    // Waits until at least `count` recorded frames satisfy `match`; returns
    // whether they did before the time-out.
    bool waitFor(const std::function<bool(const CanFrame&)>& match, size_t count,
                 std::chrono::milliseconds timeout) const;

private:
    void readLoop();

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<RecordedFrame> frames_;
    uint64_t received_ = 0;
    uint64_t dropped_ = 0;
    std::thread reader_;
};

// Frames the kernel put on the interface so far (its transmit counter), from
// every socket on it. Throws std::runtime_error where the interface has no
// counters (the in-process bus).
uint64_t interfaceTxFrames(const std::string& interface);

// Polls `condition` every 10 ms until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Builds a frame from an identifier and up to eight data bytes.
CanFrame makeFrame(uint32_t can_id, std::initializer_list<uint8_t> data);

// The data bytes as "7F FF 7F F0 00 00 07 FF", for readable expectations.
std::string hexBytes(const CanFrame& frame);

}  // namespace qel::test
