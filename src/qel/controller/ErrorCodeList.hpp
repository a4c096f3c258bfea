#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <vector>

namespace qel::m4 {

// The pending error codes, appended to by the control cycle and read and
// emptied by the host. Thread-safe; every operation holds a small lock of its
// own for at most one pass over the list.
//
// The list is bounded so that a motor left offline with nobody reading the
// codes cannot grow memory without limit, and the cycle never allocates: the
// whole capacity is reserved up front. Below the bound codes are kept in order,
// duplicates included. At the bound a report whose code is already in the list
// is dropped; any other entry makes room by evicting the oldest entry whose
// code appears again later (a repeat report before a fault). So at least one
// entry of every distinct code stays in the list until the host reads it.
//
// Motor faults are also remembered as the exact motor number and driver code
// until the host reads the list, because the list's encoding of some driver
// codes cannot be decoded back (see pendingMotorFault).
class ErrorCodeList {
public:
    static constexpr std::size_t kDefaultCapacity = 4096;

    // `capacity`: the bound, at least 128 (more than the number of distinct
    // codes); smaller values are raised to 128.
    explicit ErrorCodeList(std::size_t capacity = kDefaultCapacity);
    ErrorCodeList(const ErrorCodeList&) = delete;
    ErrorCodeList& operator=(const ErrorCodeList&) = delete;

    // Appends a repeat report: 2 (bus offline) or an offline code 10·n + 2.
    void appendReport(int code);
    // Appends the over-current code 1.
    void appendOverCurrent();
    // Appends a fault code that is never dropped while the list is full
    // (other commander 3, control-thread fault 4, damping requested 5).
    void appendFault(int code);
    // Appends 10·joint_number + driver_code − 5 and, if no fault is pending
    // yet, remembers (joint_number, driver_code) as the pending fault.
    void appendMotorFault(int joint_number, int driver_code);

    // The codes in the order they were appended; empties the list and forgets
    // the pending fault. Allocates the returned vector (host side only).
    std::vector<int> take();

    // The first motor fault appended since the last take, as the motor number
    // (1 to 7) and the driver's own code. False if there is none.
    bool pendingMotorFault(int* joint_number, int* driver_code) const;
    // Forgets the pending motor fault and keeps the codes: the host resumed
    // after it. A motor that still reports a fault makes it pending again.
    void consumePendingFault();

    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }

    // For the record of one control cycle: copies the codes appended since
    // the last call (whether the list kept them or not), up to `room` of
    // them, into `out` in order, and returns how many were appended; past
    // kRecentCodes the rest are counted but not kept.
    static constexpr std::size_t kRecentCodes = 16;
    std::size_t takeAppended(int* out, std::size_t room);

private:
    struct Entry {
        int code;
        bool critical;  // a motor fault or an over-current: never lost
    };

    void append(Entry entry);  // with mutex_ held
    void noteAppended(int code);  // with mutex_ held
    bool evictOneLocked();

    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    bool fault_pending_ = false;
    int fault_joint_ = 0;
    int fault_code_ = 0;
    std::array<int, kRecentCodes> appended_{};
    std::size_t appended_count_ = 0;
};

}  // namespace qel::m4
