#pragma once

// A lock-free hand-over of the latest value from one writer thread to one
// reader thread. Neither side ever waits for the other: the writer always has
// a slot of its own to fill, the reader always keeps the last value it took.
// Values the reader never took are overwritten by newer ones.

#include <atomic>
#include <type_traits>

namespace qel::realtime {

template <typename T>
class TripleBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "slots are copied as plain data");

public:
    // Writer side: the slot to fill, then publish() hands it over.
    T& writeSlot() { return slots_[write_]; }
    void publish() {
        const unsigned previous = middle_.exchange(write_ | kFresh, std::memory_order_acq_rel);
        write_ = previous & kIndex;
    }
    void publish(const T& value) {
        writeSlot() = value;
        publish();
    }

    // Reader side: takes the newest published value into *out. False (and
    // *out unchanged) if nothing was published since the last take.
    bool take(T* out) {
        if ((middle_.load(std::memory_order_acquire) & kFresh) == 0) return false;
        const unsigned previous = middle_.exchange(read_, std::memory_order_acq_rel);
        read_ = previous & kIndex;
        *out = slots_[read_];
        return true;
    }

private:
    static constexpr unsigned kIndex = 3;
    static constexpr unsigned kFresh = 4;

    T slots_[3]{};
    unsigned write_ = 0;               // writer's own slot
    unsigned read_ = 1;                // reader's own slot
    std::atomic<unsigned> middle_{2};  // the slot in between, with the fresh bit
};

}  // namespace qel::realtime
