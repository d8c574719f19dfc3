#include "notify_e2e/thread_probes.h"

#include "notify_e2e/proc_probe.h"
#include "notify_e2e/records.h"

#include "file_text.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace e2e {

namespace {

// The state in /proc/PID/stat (or a task's), after the command's ')', which
// the command itself may hold; 0 when the process is gone.
char state_of(const std::string& proc)
{
    const std::string stat = rig::file_text(proc + "/stat");
    const auto paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

} // namespace

bool host_ended(pid_t pid)
{
    const char state = state_of("/proc/" + std::to_string(pid));
    return state == 0 || state == 'Z';
}

bool traced(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("TracerPid:"))
            return std::atoi(line.c_str() + 10) != 0;
    return false;
}

rig::Status wait_for_thread_in(pid_t host, long number, rig::Deadline deadline)
{
    while (rig::Clock::now() < deadline) {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(host) + "/task", error)) {
            long in = -1;
            if (std::ifstream(task.path() / "syscall") >> in && in == number)
                return rig::Status::ok();
        }
        ::poll(nullptr, 0, 2);
    }
    return rig::Status::failed("no thread of the host came to system call " + std::to_string(number));
}

bool waits_without_limit(pid_t thread)
{
    const std::string task = "/proc/" + std::to_string(thread);
    // The same call, arguments and stack on both sides of a sleeping state:
    // the thread stayed in it meanwhile.
    const std::string before = rig::file_text(task + "/syscall");
    const char state = state_of(task);
    if (state != 'S' || before != rig::file_text(task + "/syscall"))
        return false;
    std::istringstream call(before);
    long number = -1;
    std::string fds, nfds, limit;
    return call >> number >> fds >> nfds >> limit && number == SYS_ppoll && limit == "0x0";
}

std::vector<pid_t> threads_of(pid_t host)
{
    std::vector<pid_t> threads;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(host) + "/task", error))
        threads.push_back(std::stoi(task.path().filename().string()));
    return threads;
}

rig::Status wait_for_file_reader(pid_t host, int fifo_writer, rig::Deadline deadline)
{
    const std::string proc = "/proc/" + std::to_string(host);
    while (rig::Clock::now() < deadline) {
        int unread = -1;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error))
            if (::ioctl(fifo_writer, FIONREAD, &unread) == 0 && unread == 0
                && blocked_reading(std::stoi(task.path().filename().string()), fifo_writer))
                return rig::Status::ok();
        ::poll(nullptr, 0, 2);
    }
    return rig::Status::failed("no thread of the host came to read the notification file");
}

} // namespace e2e
