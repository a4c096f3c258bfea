#include "qel/canbase/SocketCan.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "qel/output/Output.hpp"
#include "qel/realtime/PiMutex.hpp"

namespace qel::hw_interface {

using interface_request_t = struct ifreq;
using can_socket_address_t = struct sockaddr_can;

static_assert(sizeof(CanFrame) == sizeof(struct can_frame), "frame layout must match the kernel");
static_assert(sizeof(can_socket_address_t) == 24, "unexpected sockaddr_can size");

constexpr const char* kNotOpenKey = "Unable to transmit";

class SocketCan::impl {
public:
    // Interface names are limited by the kernel to IFNAMSIZ bytes including
    // the terminator.
    static constexpr size_t kBusNameSize = IFNAMSIZ;

    impl() : wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) { output::info("SocketCAN adapter created."); }

    ~impl() {
        output::info("Destroying SocketCAN adapter...");
        if (IsOpen()) {
            Close();
            output::info("CAN socket destroyed.");
        } else {
            // A failed re-bind can leave the receive thread running without a
            // socket; it must not outlive this object. It may also be in the
            // middle of re-creating the socket, and store the new one before
            // it notices the stop: that one is closed once it has ended.
            stopReceiver();
            closeSocket();
        }
        if (wake_fd_ != -1) close(wake_fd_);
        output::info("finish");
    }

    bool Init(const char* interface) {
        if (interface == nullptr || interface[0] == '\0') {
            output::write(output::Level::kError, output::Stream::kStdout,
                          "Error: no CAN interface name given");
            setLastError("no interface name given");
            return false;
        }
        if (strnlen(interface, kBusNameSize) >= kBusNameSize) {
            output::writef(output::Level::kError, output::Stream::kStdout,
                           "Error: CAN interface name %.*s... is longer than %zu characters",
                           static_cast<int>(kBusNameSize - 1), interface, kBusNameSize - 1);
            setLastError("the name is longer than " + std::to_string(kBusNameSize - 1) +
                         " characters");
            return false;
        }
        if (receiver_thread_started_) {
            // Opening again while receiving would leak the old socket and thread.
            Close();
        }
        int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
        if (fd == -1) {
            setLastError(std::string("cannot create a CAN socket: ") + strerror(errno));
            output::write(output::Level::kError, output::Stream::kStdout,
                          "Error: Unable to create a CAN socket");
            return false;
        }
        sockfd_ = fd;
        output::writef(output::Level::kInfo, output::Stream::kStdout,
                       "Created CAN socket with descriptor %d.", fd);

        memset(&if_request_, 0, sizeof if_request_);
        strncpy(if_request_.ifr_name, interface, IFNAMSIZ - 1);
        memset(bus_name_, 0, sizeof bus_name_);
        strncpy(bus_name_, interface, kBusNameSize - 1);

        if (ioctl(fd, SIOCGIFINDEX, &if_request_) == -1) {
            setLastError(std::string("no such interface (") + strerror(errno) + ")");
            output::writef(output::Level::kError, output::Stream::kStdout,
                           "Unable to select CAN interface %s: I/O control error", interface);
            Close();
            return false;
        }
        output::writef(output::Level::kInfo, output::Stream::kStdout,
                       "Found: %s has interface index %d.", interface, if_request_.ifr_ifindex);

        if (!bindSocket(fd)) {
            setLastError(std::string("cannot bind to the interface: ") + strerror(errno));
            output::write(output::Level::kError, output::Stream::kStdout,
                          "Failed to bind socket to network interface");
            Close();
            return false;
        }
        output::writef(output::Level::kInfo, output::Stream::kStdout,
                       "Successfully bound socket to interface %d.", if_request_.ifr_ifindex);
        startThread();
        return true;
    }

    bool ExchangeData(CanFrame* frame) {
        // Counted in flight before the descriptor is read, so that reset()
        // and Close() never close (and the kernel never reuses) it in the
        // middle of this write; they wait for the write instead, and the
        // sender never waits for them.
        sending_.fetch_add(1);
        const int fd = sockfd_;
        const bool written =
            fd != -1 && write(fd, frame, sizeof(CanFrame)) == static_cast<ssize_t>(sizeof(CanFrame));
        sending_.fetch_sub(1);
        if (fd == -1) {
            // Repeats for every frame while the socket is being re-created.
            output::writeRepeated(output::Level::kWarning, output::Stream::kStdout, kNotOpenKey,
                                  "Unable to transmit: Socket not open");
        }
        return written;
    }

    bool IsOpen() { return sockfd_ != -1; }
    bool checkOnline() { return online_; }

    // The old callback is released after the lock: swapping two function
    // objects neither allocates nor frees, releasing one may, and the control
    // thread may be waiting for this lock.
    void setCallBackFunction(std::function<void(CanFrame*)> func) {
        {
            std::lock_guard<realtime::PiMutex> guard(mutex_get_data_);
            CallBack_.swap(func);
        }
    }

    void setGetMsgContentFunction(std::function<void()> func) {
        {
            std::lock_guard<realtime::PiMutex> guard(mutex_get_data_);
            GetMsgContent_.swap(func);
        }
    }

    void LoadMutexMsg() {
        std::lock_guard<realtime::PiMutex> guard(mutex_get_data_);
        if (GetMsgContent_) GetMsgContent_();
    }

    void Close() {
        output::info("Waiting for receiver thread to terminate.");
        terminate_receiver_thread_ = true;
        output::info("terminate_receiver_thread_ is true");
        // Woken only now, so that its closing line follows the two above.
        wakeReceiver();
        // The line once a second while waiting, but no longer than the
        // thread takes: a stop (a cancelled start-up) should not cost a
        // second.
        while (receiver_thread_running_) {
            output::info("waitting receiver_thread close");
            for (int slice = 0; slice < kWaitMillis / kCloseSliceMillis && receiver_thread_running_; ++slice) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kCloseSliceMillis));
            }
        }
        output::info("receiver_thread_running_.load()");
        joinReceiver();
        if (!IsOpen()) return;
        output::info("return");
        closeSocket();
    }

    // Set before Init starts the thread, read by it.
    realtime::ThreadSettings receive_settings_;
    std::string receive_refusals_;

    std::string lastError() const {
        std::lock_guard<std::mutex> guard(mutex_error_);
        return last_error_;
    }

    CanFrame GetCanFrame() {
        std::lock_guard<std::mutex> guard(mutex_frame_);
        return rx_frame_;
    }

private:
    void setLastError(std::string reason) {
        std::lock_guard<std::mutex> guard(mutex_error_);
        last_error_ = std::move(reason);
    }

    bool bindSocket(int fd) {
        memset(&addr_, 0, sizeof addr_);
        addr_.can_family = AF_CAN;
        addr_.can_ifindex = if_request_.ifr_ifindex;
        return bind(fd, reinterpret_cast<struct sockaddr*>(&addr_), sizeof addr_) != -1;
    }

    void closeSocket() {
        const int fd = sockfd_.exchange(-1);
        if (fd == -1) return;
        // A write that read the descriptor before the exchange ends first.
        while (sending_.load() != 0) std::this_thread::yield();
        close(fd);
    }

    void startThread() {
        terminate_receiver_thread_ = false;
        // Marked running before the thread exists so that a Close right after
        // Init cannot miss it.
        receiver_thread_running_ = true;
        if (pthread_create(&thread_id_, nullptr, &impl::ReciveThreadWrapper, this) != 0) {
            receiver_thread_running_ = false;
            output::error("Failed to create thread");
            return;
        }
        receiver_thread_started_ = true;
        receive_refusals_ = realtime::applyScheduling(thread_id_, receive_settings_, "CAN receive thread");
    }

    void joinReceiver() {
        if (receiver_thread_started_) {
            pthread_join(thread_id_, nullptr);
            receiver_thread_started_ = false;
        }
    }

    void stopReceiver() {
        terminate_receiver_thread_ = true;
        wakeReceiver();
        joinReceiver();
    }

    // Ends the receive thread's wait at once instead of after up to a second.
    void wakeReceiver() {
        if (wake_fd_ == -1) return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = write(wake_fd_, &one, sizeof one);
    }

    static void* ReciveThreadWrapper(void* arg) {
        static_cast<impl*>(arg)->ReceiveThread();
        return nullptr;
    }

    void ReceiveThread() {
        realtime::applyToCurrentThread(receive_settings_, "qel-can-receive");
        receiver_thread_running_ = true;
        output::info("ReciveThread running ");
        int silent_passes = 0;
        while (!terminate_receiver_thread_) {
            const Pass pass = waitOnePass();
            if (pass == Pass::kStopped) break;
            silent_passes = pass == Pass::kFrame ? 0 : silent_passes + 1;
            if (silent_passes > 1 && !terminate_receiver_thread_) {
                online_ = false;
                reset();
            }
        }
        output::info("ReciveThread finish ");
        receiver_thread_running_ = false;
    }

    enum class Pass { kFrame, kSilent, kStopped };

    // One pass: waits up to a second for a frame and hands it over. A read
    // that fails (an interface taken down and up again, an error the socket
    // reports) drops that frame and goes on waiting for the rest of the
    // pass, pausing a few milliseconds first so that an error that persists
    // cannot spin; such a pass ends silent like a quiet one. A wake-up left
    // over from an earlier stop request is drained and the pass goes on.
    Pass waitOnePass() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kWaitMillis);
        int timeout = kWaitMillis;
        for (;;) {
            const int fd = sockfd_;
            // poll, not select: a descriptor numbered 1024 or above does not
            // fit in an fd_set. A negative descriptor is ignored by poll,
            // which then just waits out the pass. The wake descriptor ends
            // the wait when a stop is requested.
            struct pollfd waiting[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            const int ready = poll(waiting, 2, timeout);
            if (terminate_receiver_thread_) return Pass::kStopped;
            if (ready > 0 && waiting[1].revents != 0) {
                uint64_t drained;
                [[maybe_unused]] const ssize_t ignored = read(wake_fd_, &drained, sizeof drained);
            }
            if (ready > 0 && (waiting[0].revents & POLLIN) != 0) {
                switch (readFrame(fd)) {
                    case Read::kFrame:
                        return Pass::kFrame;
                    case Read::kNothing:
                        break;
                    case Read::kFailed:
                        pauseAfterError();
                        break;
                }
            } else if (ready > 0 && waiting[0].revents != 0) {
                // An error or hang-up condition without data.
                clearSocketError(fd);
                pauseAfterError();
            } else if (ready < 0 && errno != EINTR) {
                pauseAfterError();
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return Pass::kSilent;
            timeout = static_cast<int>(left);
        }
    }

    enum class Read { kFrame, kNothing, kFailed };

    Read readFrame(int fd) {
        ssize_t got;
        {
            std::lock_guard<std::mutex> guard(mutex_frame_);
            got = read(fd, &rx_frame_, sizeof(CanFrame));
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) return Read::kNothing;
            clearSocketError(fd);
            return Read::kFailed;
        }
        std::lock_guard<realtime::PiMutex> guard(mutex_get_data_);
        if (CallBack_) CallBack_(&rx_frame_);
        return Read::kFrame;
    }

    // Takes a pending error off the socket, so that the next wait does not
    // report it again.
    static void clearSocketError(int fd) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    }

    void pauseAfterError() {
        if (!terminate_receiver_thread_) std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMillis));
    }

    // Re-creates the socket after the bus went silent. Gives up when a stop is
    // requested so that Close never waits on an interface that is gone.
    void reset() {
        closeSocket();
        int fd = -1;
        while (!terminate_receiver_thread_) {
            fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
            if (fd == -1) {
                output::write(output::Level::kError, output::Stream::kStdout,
                              "Error: Unable to create a CAN socket");
                sleep(1);
                continue;
            }
            output::writef(output::Level::kInfo, output::Stream::kStdout,
                           "Created CAN socket with descriptor %d.", fd);
            static_assert(sizeof if_request_.ifr_name == sizeof bus_name_);
            memcpy(if_request_.ifr_name, bus_name_, sizeof bus_name_);
            if (ioctl(fd, SIOCGIFINDEX, &if_request_) != -1) break;
            output::writef(output::Level::kError, output::Stream::kStdout,
                           "Unable to select CAN interface %s: I/O control error", bus_name_);
            close(fd);
            fd = -1;
            sleep(1);
        }
        if (fd == -1) return;
        output::writef(output::Level::kInfo, output::Stream::kStdout,
                       "Found: %s has interface index %d.", bus_name_, if_request_.ifr_ifindex);
        if (!bindSocket(fd)) {
            output::write(output::Level::kError, output::Stream::kStdout,
                          "Failed to bind socket to network interface");
            close(fd);
            return;
        }
        output::writef(output::Level::kInfo, output::Stream::kStdout,
                       "Successfully bound socket to interface %d.", if_request_.ifr_ifindex);
        sockfd_ = fd;
    }

    can_adapter_t adapter_type_ = ADAPTER_SOCKETCAN;
    char bus_name_[kBusNameSize] = {};
    std::atomic<bool> online_{true};
    std::atomic<bool> terminate_receiver_thread_{false};
    std::atomic<bool> receiver_thread_running_{false};
    std::atomic<int> sockfd_{-1};
    std::atomic<int> sending_{0};  // writes in flight on sockfd_
    interface_request_t if_request_{};
    can_socket_address_t addr_{};
    pthread_t thread_id_{};
    bool receiver_thread_started_ = false;
    std::function<void(CanFrame*)> CallBack_;
    std::function<void()> GetMsgContent_;
    CanFrame rx_frame_{};
    std::mutex mutex_frame_;
    // Shared by the receive thread and the control thread (LoadMutexMsg).
    realtime::PiMutex mutex_get_data_;
    mutable std::mutex mutex_error_;
    std::string last_error_;

    static constexpr int kWaitMillis = 1000;
    static constexpr int kCloseSliceMillis = 10;
    // Between retries after a failed read: long enough that an error that
    // persists costs next to no CPU, short against the motors' 200 ms
    // feedback age.
    static constexpr int kErrorPauseMillis = 5;
    int wake_fd_;
};

SocketCan::SocketCan() : pimpl(std::make_unique<impl>()) {}
SocketCan::~SocketCan() = default;

bool SocketCan::Init(const char* interface) { return pimpl->Init(interface); }
bool SocketCan::ExchangeData(CanFrame* frame) { return pimpl->ExchangeData(frame); }
bool SocketCan::WriteData() { return true; }
bool SocketCan::ReadData() {
    output::write(output::Level::kDebug, output::Stream::kStdout, "[ReadData]", false);
    return true;
}
bool SocketCan::IsOpen() { return pimpl->IsOpen(); }
bool SocketCan::checkOnline() { return pimpl->checkOnline(); }
void SocketCan::setCallBackFunction(std::function<void(CanFrame*)> func) {
    pimpl->setCallBackFunction(std::move(func));
}
void SocketCan::setGetMsgContentFunction(std::function<void()> func) {
    pimpl->setGetMsgContentFunction(std::move(func));
}
void SocketCan::LoadMutexMsg() { pimpl->LoadMutexMsg(); }
void SocketCan::Close() { pimpl->Close(); }
void SocketCan::setReceiveThreadSettings(const realtime::ThreadSettings& settings) {
    pimpl->receive_settings_ = settings;
}
std::string SocketCan::receiveThreadRefusals() const { return pimpl->receive_refusals_; }

std::string SocketCan::lastError() const { return pimpl->lastError(); }

}  // namespace qel::hw_interface
