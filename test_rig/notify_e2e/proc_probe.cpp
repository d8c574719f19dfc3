#include "notify_e2e/proc_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <fstream>
#include <set>

namespace e2e {
namespace {

bool blocked_in_read(pid_t thread)
{
    std::string syscall;
    std::getline(std::ifstream("/proc/" + std::to_string(thread) + "/syscall"), syscall);
    return syscall.starts_with(std::to_string(SYS_read) + " ");
}

// Looks again every 2 ms until `found` holds or the deadline has passed.
template <typename Found>
rig::Status poll_until(Found found, rig::Deadline deadline, const std::string& what)
{
    for (;;) {
        if (found())
            return rig::Status::ok();
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed(what + " before the deadline");
        ::poll(nullptr, 0, 2);
    }
}

std::string process(pid_t pid)
{
    return "process " + std::to_string(pid);
}

// "FD -> what it names" for each descriptor of the process, 0 to 2 aside,
// that has no close-on-exec.
std::set<std::string> descriptors_without_cloexec(const std::string& proc)
{
    std::set<std::string> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        const std::string fd = entry.path().filename().string();
        if (fd == "0" || fd == "1" || fd == "2")
            continue;
        // "flags:" is in octal, as open(2) takes them.
        std::ifstream info(proc + "/fdinfo/" + fd);
        long flags = -1;
        for (std::string field; info >> field;)
            if (field == "flags:" && info >> std::oct >> flags)
                break;
        if (flags < 0 || (flags & O_CLOEXEC) == 0)
            out.insert(fd + " -> " + std::filesystem::read_symlink(entry.path(), error).string());
    }
    return out;
}

} // namespace

bool blocked_reading(pid_t thread, int writer)
{
    long number = -1;
    std::string fd;
    if (!(std::ifstream("/proc/" + std::to_string(thread) + "/syscall") >> number >> fd) || number != SYS_read)
        return false;
    struct stat read_from = {};
    struct stat written_to = {};
    const std::string path = "/proc/" + std::to_string(thread) + "/fd/" + std::to_string(std::stol(fd, nullptr, 16));
    return ::stat(path.c_str(), &read_from) == 0 && ::fstat(writer, &written_to) == 0
        && read_from.st_dev == written_to.st_dev && read_from.st_ino == written_to.st_ino;
}

rig::Status wait_until_reader_idle(pid_t host, int fifo_writer, rig::Deadline deadline)
{
    return poll_until(
        [&] {
            int unread = -1;
            return ::ioctl(fifo_writer, FIONREAD, &unread) == 0 && unread == 0 && blocked_reading(host, fifo_writer);
        },
        deadline, "the reader of " + process(host) + " did not take every record and wait for more");
}

rig::Status wait_until_blocked_in_read(pid_t thread, rig::Deadline deadline)
{
    return poll_until([&] { return blocked_in_read(thread); }, deadline,
        "thread " + std::to_string(thread) + " did not block in read");
}

rig::Status wait_for_thread_blocked_in_read(pid_t pid, rig::Deadline deadline, pid_t& thread)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    return poll_until(
        [&] {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
                const pid_t candidate = std::stoi(entry.path().filename().string());
                if (blocked_in_read(candidate)) {
                    thread = candidate;
                    return true;
                }
            }
            return false;
        },
        deadline, "no thread of " + process(pid) + " blocked in read");
}

rig::Status wait_for_bus_wait(pid_t host, bool limited, rig::Deadline deadline, std::filesystem::path& task)
{
    const std::string tasks = "/proc/" + std::to_string(host) + "/task";
    return poll_until(
        [&] {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
                std::string number, fds, nfds, timeout;
                std::ifstream(entry.path() / "syscall") >> number >> fds >> nfds >> timeout;
                if (number == std::to_string(SYS_ppoll) && (timeout != "0x0") == limited) {
                    task = entry.path();
                    return true;
                }
            }
            return false;
        },
        deadline,
        "no thread of " + process(host) + " waited on a bus " + (limited ? "with" : "without") + " a time limit");
}

std::vector<std::string> inheritable_descriptors(pid_t pid)
{
    const auto inherited = descriptors_without_cloexec("/proc/self");
    std::vector<std::string> out;
    for (const auto& d : descriptors_without_cloexec("/proc/" + std::to_string(pid)))
        if (!inherited.count(d))
            out.push_back(d);
    return out;
}

} // namespace e2e
