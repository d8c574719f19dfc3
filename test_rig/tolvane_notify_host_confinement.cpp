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

#if defined(__x86_64__)
constexpr unsigned this_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned this_arch = AUDIT_ARCH_AARCH64;
#else
#error "no audit architecture for this processor"
#endif

// syslog() hands connect() a whole sockaddr_un; sd-bus passes only the
// length of the path it connects to. The third argument tells them apart.
constexpr unsigned system_log_address_length = sizeof(sockaddr_un);

} // namespace

bool refuse_connections_but_the_system_log()
{
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
}
