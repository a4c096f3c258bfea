#include "qel/controller/ErrorCodeList.hpp"

#include <algorithm>
#include <bitset>
#include <mutex>

#include "qel/controller/ControlLaw.hpp"

namespace qel::m4 {
namespace {

constexpr std::size_t kMinimumCapacity = 128;
// Codes span 1 to 80 (motor 7, driver code 15); anything else shares a slot,
// which only makes eviction a little less choosy.
constexpr std::size_t kCodeSlots = 128;

std::size_t slotOf(int code) {
    return code >= 0 ? static_cast<std::size_t>(code) % kCodeSlots : 0;
}

}  // namespace

ErrorCodeList::ErrorCodeList(std::size_t capacity)
    : capacity_(std::max(capacity, kMinimumCapacity)) {
    entries_.reserve(capacity_);
}

void ErrorCodeList::appendReport(int code) {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    noteAppended(code);
    if (entries_.size() >= capacity_) {
        // A repeat of a code the list already holds tells the host nothing
        // new; a code it does not hold yet (a second motor going offline)
        // must not be lost behind the first one's repeats.
        const bool known = std::any_of(entries_.begin(), entries_.end(),
                                       [code](const Entry& e) { return e.code == code; });
        if (known) return;
    }
    append({code, false});
}

void ErrorCodeList::appendOverCurrent() { appendFault(control::kCodeOverCurrent); }

void ErrorCodeList::appendFault(int code) {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    noteAppended(code);
    append({code, true});
}

void ErrorCodeList::appendMotorFault(int joint_number, int driver_code) {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    noteAppended(control::motorFaultCode(joint_number, driver_code));
    append({control::motorFaultCode(joint_number, driver_code), true});
    for (std::size_t i = 0; i < pending_count_; ++i) {
        if (pending_[i].joint == joint_number && pending_[i].driver_code == driver_code) return;
    }
    if (pending_count_ < kPendingFaults) pending_[pending_count_++] = {joint_number, driver_code};
}

void ErrorCodeList::append(Entry entry) {
    if (entries_.size() >= capacity_ && !evictOneLocked()) return;
    entries_.push_back(entry);
}

bool ErrorCodeList::evictOneLocked() {
    // Only entries whose code is repeated later may go, so no distinct code
    // disappears; among those the oldest repeat report goes first, then the
    // oldest repeated fault. One exists, as the capacity exceeds the number
    // of distinct codes.
    std::bitset<kCodeSlots> seen_later;
    std::size_t oldest_report = entries_.size();
    std::size_t oldest_fault = entries_.size();
    for (std::size_t i = entries_.size(); i-- > 0;) {
        const std::size_t slot = slotOf(entries_[i].code);
        if (seen_later.test(slot)) (entries_[i].critical ? oldest_fault : oldest_report) = i;
        seen_later.set(slot);
    }
    const std::size_t victim = oldest_report != entries_.size() ? oldest_report : oldest_fault;
    if (victim == entries_.size()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(victim));
    return true;
}

std::vector<int> ErrorCodeList::take(PendingFaults pending) {
    std::vector<int> codes;
    codes.reserve(capacity_);  // outside the lock the cycle shares
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    for (const Entry& e : entries_) codes.push_back(e.code);
    entries_.clear();
    if (pending == PendingFaults::kForget) pending_count_ = 0;
    return codes;
}

bool ErrorCodeList::pendingMotorFault(int* joint_number, int* driver_code) const {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    if (pending_count_ == 0) return false;
    *joint_number = pending_[0].joint;
    *driver_code = pending_[0].driver_code;
    return true;
}

void ErrorCodeList::consumePendingFault(int joint_number, int driver_code) {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    for (std::size_t i = 0; i < pending_count_; ++i) {
        if (pending_[i].joint != joint_number || pending_[i].driver_code != driver_code) continue;
        for (std::size_t j = i + 1; j < pending_count_; ++j) pending_[j - 1] = pending_[j];
        --pending_count_;
        return;
    }
}

void ErrorCodeList::noteAppended(int code) {
    if (appended_count_ < appended_.size()) appended_[appended_count_] = code;
    ++appended_count_;
}

std::size_t ErrorCodeList::takeAppended(int* out, std::size_t room) {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    const std::size_t kept = std::min({appended_count_, appended_.size(), room});
    std::copy(appended_.begin(), appended_.begin() + static_cast<std::ptrdiff_t>(kept), out);
    const std::size_t count = appended_count_;
    appended_count_ = 0;
    return count;
}

std::size_t ErrorCodeList::size() const {
    std::lock_guard<realtime::PiMutex> guard(mutex_);
    return entries_.size();
}

}  // namespace qel::m4
