#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "qel/realtime/PiMutex.hpp"

namespace qel::m4 {

// The pending error codes, appended to by the control cycle and read and
// emptied by the host. Thread-safe; every operation holds a small
// priority-inheriting lock of its own for at most one pass over the list, and
// never allocates under it.
//
// The list is bounded so that a motor left offline with nobody reading the
// codes cannot grow memory without limit, and the cycle never allocates: the
// whole capacity is reserved up front. Below the bound codes are kept in order,
// duplicates included. At the bound a report whose code is already in the list
// is dropped; any other entry makes room by evicting the oldest entry whose
// code appears again later (a repeat report before a fault). So at least one
// entry of every distinct code stays in the list until the host reads it.
//
// Motor faults are also kept as the exact motor number and driver code, in
// the order they arose, because the list's encoding of some driver codes
// cannot be decoded back: pending until the controller has raised each and
// the host has resumed after it (consumePendingFault), however often the
// host reads the codes meanwhile.
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
    // Appends 10·joint_number + driver_code − 5 and, unless that very fault
    // is pending already, adds (joint_number, driver_code) to the pending
    // faults.
    void appendMotorFault(int joint_number, int driver_code);

    // What take does with the pending motor faults.
    enum class PendingFaults {
        kKeep,    // they stay pending: the controller still has to raise them
        kForget,  // reading the codes acknowledges them (a caller running the cycle itself)
    };
    // The codes in the order they were appended; empties the list. Allocates
    // the returned vector (host side only), outside the lock.
    std::vector<int> take(PendingFaults pending = PendingFaults::kKeep);

    // The oldest pending motor fault, as the motor number (1 to 7) and the
    // driver's own code. False if there is none.
    bool pendingMotorFault(int* joint_number, int* driver_code) const;
    // Forgets that one pending fault and keeps the codes: the host resumed
    // after it. A motor that still reports it makes it pending again.
    void consumePendingFault(int joint_number, int driver_code);

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

    struct Fault {
        int joint;
        int driver_code;
    };
    // Seven motors with one fault at a time each, and room to spare; a
    // further distinct fault while all are pending waits for its motor's
    // next report.
    static constexpr std::size_t kPendingFaults = 16;

    void append(Entry entry);  // with mutex_ held
    void noteAppended(int code);  // with mutex_ held
    bool evictOneLocked();

    std::size_t capacity_;
    mutable realtime::PiMutex mutex_;
    std::vector<Entry> entries_;
    std::array<Fault, kPendingFaults> pending_{};
    std::size_t pending_count_ = 0;
    std::array<int, kRecentCodes> appended_{};
    std::size_t appended_count_ = 0;
};

}  // namespace qel::m4
