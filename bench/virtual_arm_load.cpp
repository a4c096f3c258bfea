// Puts the controller's load on a running qel-virtual-arm and measures the
// share of one core it takes: 200 cycles a second, each an impedance frame to
// each of the seven motors 200 µs apart, for a given time.
//
//   virtual_arm_load PID [SECONDS] [INTERFACE]
//
// PID is the virtual arm's process; its CPU time is read from /proc.
#include <linux/can.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "qel/can_motor_dlc/MotorCodec.hpp"

namespace {

// utime + stime of a process, in seconds.
double cpuSeconds(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return -1.0;
    // Fields after the command name, which is in parentheses and may hold
    // blanks.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s PID [SECONDS] [INTERFACE]\n", argv[0]);
        return 2;
    }
    const long pid = std::strtol(argv[1], nullptr, 10);
    const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 10.0;
    const std::string interface = argc > 3 ? argv[3] : "vcan0";
    if (pid <= 0 || !(seconds > 0 && seconds < 3600) || cpuSeconds(pid) < 0) {
        std::fprintf(stderr, "%s: need the pid of a running process and 0 to 3600 seconds\n", argv[0]);
        return 2;
    }

    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    if (fd < 0 || ioctl(fd, SIOCGIFINDEX, &request) < 0 ||
        (address.can_ifindex = request.ifr_ifindex,
         bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)) {
        std::fprintf(stderr, "%s: cannot open CAN interface %s\n", argv[0], interface.c_str());
        return 1;
    }

    constexpr int kIds[] = {1, 2, 4, 5, 6, 7, 8};
    for (int id : kIds) {
        const auto enable = qel::hw_interface::packEnableFrame(id);
        (void)!write(fd, &enable, sizeof enable);
    }
    const double cpu_before = cpuSeconds(pid);
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    long cycles = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        for (int id : kIds) {
            qel::hw_interface::HybridJointCmd command;
            command.k_p = id == 8 ? 0.0 : 50.0;
            command.k_d = 1.0;
            command.position = 0.1 * std::sin(cycles * 0.01);
            const auto frame = qel::hw_interface::packImpedanceFrame(id, id <= 4 ? 28.0 : 10.0, command);
            (void)!write(fd, &frame, sizeof frame);
            usleep(200);
        }
        ++cycles;
        next += std::chrono::milliseconds(5);
        std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds(pid) - cpu_before;
    std::printf("%ld cycles (%.0f/s, %.0f frames/s) in %.1f s: virtual arm used %.2f s CPU = %.1f %% of one core\n",
                cycles, cycles / wall, 7.0 * cycles / wall, wall, cpu, 100.0 * cpu / wall);
    close(fd);
    return 0;
}
