#include "sim/RawCanSocket.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qel::sim {

int openRawCanSocket(const std::string& interface, const std::vector<int>& only_ids) {
    auto fail = [&](const std::string& reason) -> int {
        throw std::runtime_error("cannot open CAN interface '" + interface + "': " + reason);
    };
    if (interface.empty() || interface.size() >= IFNAMSIZ) {
        fail("the name must have 1 to " + std::to_string(IFNAMSIZ - 1) + " characters");
    }
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) fail(std::string("no CAN socket: ") + std::strerror(errno));
    auto failClosing = [&](const std::string& reason) -> int {
        const int saved = errno;
        close(fd);
        return fail(reason + ": " + std::strerror(saved));
    };
    ifreq request{};
    std::memcpy(request.ifr_name, interface.c_str(), interface.size());
    if (ioctl(fd, SIOCGIFINDEX, &request) < 0) return failClosing("no such interface");

    if (!only_ids.empty()) {
        std::vector<can_filter> filters(only_ids.size());
        for (std::size_t i = 0; i < only_ids.size(); ++i) {
            filters[i].can_id = static_cast<canid_t>(only_ids[i]);
            filters[i].can_mask = CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG;
        }
        if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(),
                       static_cast<socklen_t>(filters.size() * sizeof(can_filter))) < 0) {
            return failClosing("cannot set the receive filter");
        }
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        return failClosing("cannot bind");
    }
    return fd;
}

}  // namespace qel::sim
