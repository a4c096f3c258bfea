/*
 * Preloaded into the user-mode Linux kernel on hosts whose processors carry a
 * larger extended register state than that kernel was built for (for example
 * with AMX tiles). The kernel saves and restores its processes' registers
 * through ptrace(PTRACE_GETREGSET / PTRACE_SETREGSET, NT_X86_XSTATE) with a
 * fixed-size buffer; the host refuses a set whose size is not its own full
 * state size, and the guest's first process dies with "ptrace set fp regs
 * failed". This shim widens both calls to the host's size: a get is read in
 * full and truncated into the caller's buffer, a set overlays the caller's
 * bytes on the thread's current full state. Every other request passes
 * through unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/uio.h>

typedef long (*ptrace_fn)(int, pid_t, void*, void*);

static unsigned char full_state[1 << 16] __attribute__((aligned(64)));

long ptrace(enum __ptrace_request request, ...) {
    static ptrace_fn real_ptrace;
    va_list args;
    va_start(args, request);
    pid_t pid = va_arg(args, pid_t);
    void* addr = va_arg(args, void*);
    void* data = va_arg(args, void*);
    va_end(args);
    if (!real_ptrace) real_ptrace = (ptrace_fn)dlsym(RTLD_NEXT, "ptrace");

    int is_xstate = (long)addr == NT_X86_XSTATE;
    if (!is_xstate || (request != PTRACE_GETREGSET && request != PTRACE_SETREGSET))
        return real_ptrace(request, pid, addr, data);

    struct iovec* caller = data;
    struct iovec full = {full_state, sizeof full_state};
    long rc = real_ptrace(PTRACE_GETREGSET, pid, addr, &full);
    if (rc < 0) return rc;
    size_t n = caller->iov_len < full.iov_len ? caller->iov_len : full.iov_len;
    if (request == PTRACE_GETREGSET) {
        memcpy(caller->iov_base, full_state, n);
        caller->iov_len = n;
        return 0;
    }
    memcpy(full_state, caller->iov_base, n);
    return real_ptrace(PTRACE_SETREGSET, pid, addr, &full);
}
