#include "support/InProcessCanBus.hpp"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr const char* kInterfaces[] = {"vcan0", "vcan1"};

template <typename Fn>
Fn realFunction(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

class Hub {
public:
    static Hub& instance() {
        // Never destroyed: sockets may still be used while statics go away.
        static Hub* hub = new Hub;
        return *hub;
    }

    int open(int type) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        if (type & SOCK_NONBLOCK) fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
        std::lock_guard<std::mutex> guard(mutex_);
        // A reused descriptor number means the socket that had it is closed.
        for (auto& endpoint : endpoints_) {
            if (endpoint.app_fd == pair[0]) endpoint.app_fd = -1;
        }
        endpoints_.push_back({pair[1], pair[0], 0, {}});
        wake();
        return pair[0];
    }

    bool isCanSocket(int fd) {
        std::lock_guard<std::mutex> guard(mutex_);
        return find(fd) != nullptr;
    }

    int bindTo(int fd, int ifindex) {
        std::lock_guard<std::mutex> guard(mutex_);
        Endpoint* endpoint = find(fd);
        if (endpoint == nullptr) return -EBADF;
        if (ifindex < 1 || ifindex > static_cast<int>(std::size(kInterfaces))) return -ENODEV;
        endpoint->ifindex = ifindex;
        return 0;
    }

    // Receive filters as the raw CAN protocol applies them: a frame passes if
    // it matches any filter; no filter at all passes everything.
    int setFilters(int fd, const can_filter* filters, size_t count) {
        std::lock_guard<std::mutex> guard(mutex_);
        Endpoint* endpoint = find(fd);
        if (endpoint == nullptr) return -EBADF;
        endpoint->filters.assign(filters, filters + count);
        return 0;
    }

    static int indexOf(const char* name) {
        for (size_t i = 0; i < std::size(kInterfaces); ++i) {
            if (strncmp(name, kInterfaces[i], IFNAMSIZ) == 0) return static_cast<int>(i) + 1;
        }
        return 0;
    }

private:
    struct Endpoint {
        int hub_fd;
        int app_fd;
        int ifindex;
        std::vector<can_filter> filters;

        bool accepts(const can_frame& frame) const {
            if (filters.empty()) return true;
            for (const auto& filter : filters) {
                if ((frame.can_id & filter.can_mask) == (filter.can_id & filter.can_mask)) return true;
            }
            return false;
        }
    };

    Hub() {
        if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe_[0] = wake_pipe_[1] = -1;
        std::thread([this] { run(); }).detach();
    }

    Endpoint* find(int app_fd) {
        for (auto it = endpoints_.rbegin(); it != endpoints_.rend(); ++it) {
            if (it->app_fd == app_fd) return &*it;
        }
        return nullptr;
    }

    void wake() {
        const char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(wake_pipe_[1], &byte, 1);
    }

    void run() {
        std::vector<pollfd> waiting;
        while (true) {
            waiting.clear();
            waiting.push_back({wake_pipe_[0], POLLIN, 0});
            {
                std::lock_guard<std::mutex> guard(mutex_);
                for (const auto& endpoint : endpoints_) waiting.push_back({endpoint.hub_fd, POLLIN, 0});
            }
            if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
            if (waiting[0].revents) {
                char drain[64];
                while (read(wake_pipe_[0], drain, sizeof drain) > 0) {
                }
            }
            for (size_t i = 1; i < waiting.size(); ++i) {
                if (waiting[i].revents) forwardFrom(waiting[i].fd);
            }
        }
    }

    void forwardFrom(int hub_fd) {
        can_frame frame;
        const ssize_t got = recv(hub_fd, &frame, sizeof frame, MSG_DONTWAIT);
        std::lock_guard<std::mutex> guard(mutex_);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            // The application closed its end.
            for (auto it = endpoints_.begin(); it != endpoints_.end(); ++it) {
                if (it->hub_fd == hub_fd) {
                    close(hub_fd);
                    endpoints_.erase(it);
                    break;
                }
            }
            return;
        }
        if (got != static_cast<ssize_t>(sizeof frame)) return;
        int ifindex = 0;
        for (const auto& endpoint : endpoints_) {
            if (endpoint.hub_fd == hub_fd) ifindex = endpoint.ifindex;
        }
        if (ifindex == 0) return;  // written on an unbound socket: goes nowhere
        for (const auto& endpoint : endpoints_) {
            if (endpoint.hub_fd != hub_fd && endpoint.ifindex == ifindex && endpoint.accepts(frame)) {
                // A reader that does not keep up loses frames, as on a real bus.
                send(endpoint.hub_fd, &frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL);
            }
        }
    }

    std::mutex mutex_;
    std::vector<Endpoint> endpoints_;
    int wake_pipe_[2];
};

}  // namespace

namespace qel::test {
bool usingInProcessCanBus() { return true; }
}  // namespace qel::test

extern "C" {

// For the send trace: whether `fd` is one of this bus's CAN sockets.
bool qel_test_inprocess_can_socket(int fd) { return Hub::instance().isCanSocket(fd); }

int socket(int domain, int type, int protocol) {
    if (domain == PF_CAN) return Hub::instance().open(type);
    static auto real = realFunction<int (*)(int, int, int)>("socket");
    return real(domain, type, protocol);
}

int bind(int fd, const struct sockaddr* address, socklen_t length) {
    if (Hub::instance().isCanSocket(fd)) {
        if (address == nullptr || length < sizeof(sockaddr_can) || address->sa_family != AF_CAN) {
            errno = EINVAL;
            return -1;
        }
        const int rc = Hub::instance().bindTo(fd, reinterpret_cast<const sockaddr_can*>(address)->can_ifindex);
        if (rc < 0) {
            errno = -rc;
            return -1;
        }
        return 0;
    }
    static auto real = realFunction<int (*)(int, const struct sockaddr*, socklen_t)>("bind");
    return real(fd, address, length);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    if (level == SOL_CAN_RAW && Hub::instance().isCanSocket(fd)) {
        if (name != CAN_RAW_FILTER) return 0;  // loopback and error options change nothing here
        const int rc = Hub::instance().setFilters(fd, static_cast<const can_filter*>(value),
                                                  length / sizeof(can_filter));
        if (rc < 0) {
            errno = -rc;
            return -1;
        }
        return 0;
    }
    static auto real = realFunction<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
    return real(fd, level, name, value, length);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (request == SIOCGIFINDEX && Hub::instance().isCanSocket(fd)) {
        auto* interface = static_cast<ifreq*>(argument);
        const int index = Hub::indexOf(interface->ifr_name);
        if (index == 0) {
            errno = ENODEV;
            return -1;
        }
        interface->ifr_ifindex = index;
        return 0;
    }
    static auto real = realFunction<int (*)(int, unsigned long, void*)>("ioctl");
    return real(fd, request, argument);
}

}  // extern "C"
