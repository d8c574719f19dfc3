// A host confined as a service manager may confine it: a system-call filter
// lets it connect to the system log and refuses every other connection with
// EPERM, so that the plug-in finds both buses closed to it.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>

namespace {

// The filter reads connect()'s own arguments, so it needs the audit
// architecture of the calls and a C library that makes connect() a call of
// its own. Elsewhere the host says why it cannot be confined, and the test
// that needs it is skipped.
#if defined(__x86_64__)
constexpr unsigned this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned this_arch = AUDIT_ARCH_AARCH64;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned this_arch = AUDIT_ARCH_PPC64LE;
#elif defined(__mips__) && _MIPS_SIM == _ABI64 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned this_arch = AUDIT_ARCH_MIPSEL64;
#elif defined(__s390x__)
// Debian's C library for s390x supports kernels older than connect()'s own
// call there (4.3), and connects through socketcall(2): a filter sees only
// a pointer to the arguments, never the address length.
#define TOLVANE_CANNOT_CONFINE                                                                                         \
    "on s390x the C library connects through socketcall(2), whose arguments a system-call filter cannot read"
#else
#define TOLVANE_CANNOT_CONFINE "no audit architecture is known for this processor"
#endif

// syslog() hands connect() a whole sockaddr_un; sd-bus passes only the
// length of the path it connects to. The third argument tells them apart.
constexpr unsigned system_log_address_length = sizeof(sockaddr_un);

} // namespace

const char* confinement_unavailable()
{
#ifdef TOLVANE_CANNOT_CONFINE
    return TOLVANE_CANNOT_CONFINE;
#else
    return nullptr;
#endif
}

bool refuse_connections_but_the_system_log()
{
#ifdef TOLVANE_CANNOT_CONFINE
    errno = ENOSYS;
    return false;
#else
    // A word loaded from a 64-bit argument is its low half on these
    // little-endian machines.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, this_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_connect, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, system_log_address_length, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#endif
}
