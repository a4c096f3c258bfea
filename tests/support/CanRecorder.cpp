#include "support/CanRecorder.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qel::test {

CanRecorder::CanRecorder(const std::string& interface) {
    fd_ = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd_ < 0) {
        throw std::runtime_error("CanRecorder: cannot create a CAN socket: " +
                                 std::string(strerror(errno)) +
                                 " (run bus tests through scripts/with-vcan)");
    }
    struct ifreq request {};
    strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    struct sockaddr_can address {};
    if (ioctl(fd_, SIOCGIFINDEX, &request) < 0) {
        close(fd_);
        throw std::runtime_error("CanRecorder: no interface " + interface);
    }
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        close(fd_);
        throw std::runtime_error("CanRecorder: cannot bind to " + interface);
    }
    // The kernel counts the frames it could not queue for this socket; the
    // count comes with each frame read.
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    // Room for seconds of traffic: on a loaded single-CPU test kernel the
    // reader falls tens of cycles behind, past the default buffer's couple
    // of hundred frames. Raising past the system's ceiling needs privilege;
    // without it the ceiling is what we get.
    const int bytes = 16 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    reader_ = std::thread([this] { readLoop(); });
}

CanRecorder::~CanRecorder() {
    stop_ = true;
    reader_.join();
    close(fd_);
}

bool CanRecorder::send(const CanFrame& frame) {
    return write(fd_, &frame, sizeof frame) == static_cast<ssize_t>(sizeof frame);
}

void CanRecorder::readLoop() {
    // Frames are taken in batches: on a loaded test kernel every system call
    // is slow, and one call per frame left the reader ever further behind.
    constexpr unsigned kBatch = 64;
    CanFrame frames[kBatch];
    struct iovec data[kBatch];
    alignas(struct cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(uint32_t))];
    struct mmsghdr messages[kBatch];
    while (!stop_) {
        struct pollfd waiting = {fd_, POLLIN, 0};
        if (poll(&waiting, 1, 20) != 1) continue;
        for (unsigned i = 0; i < kBatch; ++i) {
            data[i] = {&frames[i], sizeof frames[i]};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &data[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = control[i];
            messages[i].msg_hdr.msg_controllen = sizeof control[i];
        }
        const int count = recvmmsg(fd_, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (count <= 0) continue;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> guard(mutex_);
        for (int n = 0; n < count; ++n) {
            if (messages[n].msg_len != sizeof(CanFrame)) continue;
            msghdr& message = messages[n].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    uint32_t drops = 0;
                    std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                    dropped_ = drops;
                }
            }
            ++received_;
            frames_.push_back({now, frames[n]});
        }
    }
}

std::vector<RecordedFrame> CanRecorder::frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
}

std::vector<RecordedFrame> CanRecorder::framesWithId(uint32_t can_id) const {
    std::vector<RecordedFrame> result;
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& recorded : frames_) {
        if (recorded.frame.can_id == can_id) result.push_back(recorded);
    }
    return result;
}

uint64_t CanRecorder::received() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

uint64_t CanRecorder::dropped() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dropped_;
}

uint64_t interfaceTxFrames(const std::string& interface) {
    const std::string path = "/sys/class/net/" + interface + "/statistics/tx_packets";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) throw std::runtime_error("cannot read " + path);
    unsigned long long count = 0;
    const int got = std::fscanf(file, "%llu", &count);
    std::fclose(file);
    if (got != 1) throw std::runtime_error("cannot parse " + path);
    return count;
}

void CanRecorder::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    frames_.clear();
}

bool CanRecorder::waitFor(const std::function<bool(const CanFrame&)>& match, size_t count,
                          std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        size_t seen = 0;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            for (const auto& recorded : frames_) seen += match(recorded.frame) ? 1 : 0;
        }
        if (seen >= count) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

CanFrame makeFrame(uint32_t can_id, std::initializer_list<uint8_t> data) {
    CanFrame frame;
    frame.can_id = can_id;
    frame.can_dlc = static_cast<uint8_t>(data.size());
    size_t i = 0;
    for (uint8_t byte : data) frame.data[i++] = byte;
    return frame;
}

std::string hexBytes(const CanFrame& frame) {
    std::string text;
    char byte[4];
    for (int i = 0; i < frame.can_dlc && i < 8; ++i) {
        snprintf(byte, sizeof byte, i ? " %02X" : "%02X", frame.data[i]);
        text += byte;
    }
    return text;
}

}  // namespace qel::test
