#include "support/SendTrace.hpp"

#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

// Defined by the in-process bus when it is linked in: whether `fd` is one of
// its CAN sockets (those are local socket pairs, not AF_CAN sockets).
extern "C" bool qel_test_inprocess_can_socket(int fd) __attribute__((weak));

namespace qel::test {
namespace {

struct Slot {
    std::atomic<bool> ready{false};
    SentEvent event;
};

Slot g_slots[SendTrace::kCapacity];
std::atomic<bool> g_active{false};
std::atomic<bool> g_owned{false};
std::atomic<std::size_t> g_next{0};
std::atomic<std::size_t> g_overflow{0};
std::atomic<pid_t> g_only{0};  // the one thread recorded, or 0 for all

template <typename Fn>
Fn realFunction(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using WriteFn = ssize_t (*)(int, const void*, size_t);
using SendmmsgFn = int (*)(int, struct mmsghdr*, unsigned int, int);
using UsleepFn = int (*)(useconds_t);
using NanosleepFn = int (*)(const struct timespec*, struct timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const struct timespec*, struct timespec*);

// Resolved on first use (a wrapper may run before this file's statics are
// initialised) and kept.
#define QEL_REAL(type, name)                                         \
    [] {                                                             \
        static const type fn = realFunction<type>(name);             \
        return fn;                                                   \
    }()

bool isCanSocket(int fd) {
    if (qel_test_inprocess_can_socket != nullptr) return qel_test_inprocess_can_socket(fd);
    int domain = 0;
    socklen_t length = sizeof domain;
    const int saved = errno;
    const bool can = getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_CAN;
    errno = saved;
    return can;
}

int64_t monotonicNs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void record(SentEvent event) {
    event.thread = SendTrace::currentThread();
    const pid_t only = g_only.load(std::memory_order_relaxed);
    if (only != 0 && event.thread != only) return;
    event.time_ns = monotonicNs();
    const std::size_t index = g_next.fetch_add(1);
    if (index >= SendTrace::kCapacity) {
        g_overflow.fetch_add(1);
        return;
    }
    g_slots[index].event = event;
    g_slots[index].ready.store(true, std::memory_order_release);
}

void recordFrame(int fd, const void* bytes, bool written) {
    SentEvent event;
    event.kind = SentEvent::kFrame;
    event.fd = fd;
    event.written = written;
    std::memcpy(&event.frame, bytes, sizeof(CanFrame));
    record(event);
}

void recordPause(int64_t micros, int64_t deadline_ns = 0) {
    SentEvent event;
    event.kind = SentEvent::kPause;
    event.pause_us = micros;
    event.deadline_ns = deadline_ns;
    record(event);
}

int64_t micros(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

SendTrace::SendTrace() : SendTrace(0) {}

SendTrace::SendTrace(pid_t only) {
    if (g_owned.exchange(true)) throw std::logic_error("SendTrace: only one trace at a time");
    if (!QEL_REAL(WriteFn, "write") || !QEL_REAL(SendmmsgFn, "sendmmsg") ||
        !QEL_REAL(UsleepFn, "usleep") || !QEL_REAL(NanosleepFn, "nanosleep") ||
        !QEL_REAL(ClockNanosleepFn, "clock_nanosleep")) {
        throw std::runtime_error("SendTrace: the C library's functions were not found");
    }
    const std::size_t used = std::min(g_next.load(), kCapacity);
    for (std::size_t i = 0; i < used; ++i) g_slots[i].ready.store(false);
    g_overflow = 0;
    g_next = 0;
    g_only = only;
    g_active = true;
}

SendTrace::~SendTrace() {
    stop();
    g_owned = false;
}

void SendTrace::stop() { g_active = false; }

void SendTrace::mark(int tag) {
    if (!g_active) return;
    SentEvent event;
    event.kind = SentEvent::kMark;
    event.mark = tag;
    record(event);
}

std::vector<SentEvent> SendTrace::events() const {
    std::vector<SentEvent> out;
    const std::size_t used = std::min(g_next.load(), kCapacity);
    out.reserve(used);
    for (std::size_t i = 0; i < used; ++i) {
        if (g_slots[i].ready.load(std::memory_order_acquire)) out.push_back(g_slots[i].event);
    }
    return out;
}

std::vector<SentEvent> SendTrace::eventsOf(pid_t thread) const {
    std::vector<SentEvent> out;
    for (const SentEvent& event : events()) {
        if (event.thread == thread) out.push_back(event);
    }
    return out;
}

std::vector<CanFrame> SendTrace::framesOf(pid_t thread) const {
    std::vector<CanFrame> out;
    for (const SentEvent& event : events()) {
        if (event.kind == SentEvent::kFrame && (thread == 0 || event.thread == thread)) {
            out.push_back(event.frame);
        }
    }
    return out;
}

std::size_t SendTrace::overflowed() const { return g_overflow.load(); }

pid_t SendTrace::currentThread() {
    static thread_local pid_t id = static_cast<pid_t>(syscall(SYS_gettid));
    return id;
}

std::string pacingViolations(const std::vector<SentEvent>& events, int64_t period_ns) {
    std::string out;
    const SentEvent* previous = nullptr;
    int sleep = 0;
    for (const SentEvent& e : events) {
        if (e.kind != SentEvent::kPause || e.deadline_ns == 0) continue;
        ++sleep;
        // A signal ends a sleep early; it is resumed to the same deadline.
        if (previous != nullptr && e.deadline_ns == previous->deadline_ns) continue;
        if (previous != nullptr && e.deadline_ns - previous->deadline_ns != period_ns) {
            const int64_t anchor = e.deadline_ns - period_ns;
            const int64_t due = previous->deadline_ns + period_ns;
            if (!(anchor > due && anchor <= e.time_ns)) {
                char line[160];
                std::snprintf(line, sizeof line,
                              "sleep %d: deadline %+lld ns after the previous one, called %+lld ns after it\n",
                              sleep, static_cast<long long>(e.deadline_ns - previous->deadline_ns),
                              static_cast<long long>(e.time_ns - previous->deadline_ns));
                out += line;
            }
        }
        previous = &e;
    }
    return out;
}

std::string sequence(const std::vector<SentEvent>& events) {
    std::string out;
    char item[32];
    for (const SentEvent& event : events) {
        if (event.kind == SentEvent::kFrame) {
            std::snprintf(item, sizeof item, event.written ? "W%u" : "W!%u", event.frame.can_id);
        } else if (event.kind == SentEvent::kMark) {
            std::snprintf(item, sizeof item, "M%d", event.mark);
        } else {
            std::snprintf(item, sizeof item, "P%lld", static_cast<long long>(event.pause_us));
        }
        if (!out.empty()) out += ' ';
        out += item;
    }
    return out;
}

}  // namespace qel::test

using qel::test::g_active;
using qel::test::realFunction;

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
    const ssize_t done = QEL_REAL(qel::test::WriteFn, "write")(fd, buffer, count);
    if (g_active.load(std::memory_order_relaxed) && count == sizeof(qel::test::CanFrame) &&
        qel::test::isCanSocket(fd)) {
        qel::test::recordFrame(fd, buffer, done == static_cast<ssize_t>(count));
    }
    return done;
}

int sendmmsg(int fd, struct mmsghdr* messages, unsigned int count, int flags) {
    const int done = QEL_REAL(qel::test::SendmmsgFn, "sendmmsg")(fd, messages, count, flags);
    if (g_active.load(std::memory_order_relaxed) && done > 0 && qel::test::isCanSocket(fd)) {
        for (int i = 0; i < done; ++i) {
            const msghdr& header = messages[i].msg_hdr;
            if (header.msg_iovlen == 1 && header.msg_iov[0].iov_len == sizeof(qel::test::CanFrame)) {
                qel::test::recordFrame(fd, header.msg_iov[0].iov_base, true);
            }
        }
    }
    return done;
}

int usleep(useconds_t micros) {
    if (g_active.load(std::memory_order_relaxed)) qel::test::recordPause(micros);
    return QEL_REAL(qel::test::UsleepFn, "usleep")(micros);
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (g_active.load(std::memory_order_relaxed) && request) {
        qel::test::recordPause(qel::test::micros(*request));
    }
    return QEL_REAL(qel::test::NanosleepFn, "nanosleep")(request, remaining);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining) {
    if (g_active.load(std::memory_order_relaxed) && request) {
        int64_t pause = qel::test::micros(*request);
        int64_t deadline = 0;
        if (flags & TIMER_ABSTIME) {
            struct timespec now {};
            clock_gettime(clock, &now);
            pause -= qel::test::micros(now);
            if (clock == CLOCK_MONOTONIC) {
                deadline = static_cast<int64_t>(request->tv_sec) * 1000000000 + request->tv_nsec;
            }
        }
        qel::test::recordPause(pause, deadline);
    }
    return QEL_REAL(qel::test::ClockNanosleepFn, "clock_nanosleep")(clock, flags, request, remaining);
}

}  // extern "C"
