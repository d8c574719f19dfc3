#include "notify_e2e/records.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace e2e {

rig::Status remove_notify_file()
{
    if (::unlink(notify_file) != 0 && errno != ENOENT)
        return rig::Status::failed_errno(std::string("unlink ") + notify_file);
    return rig::Status::ok();
}

rig::Status write_notify_file(const std::string& bytes)
{
    if (auto s = remove_notify_file(); !s)
        return s;
    std::ofstream f(notify_file, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f.flush())
        return rig::Status::failed(std::string("cannot write ") + notify_file);
    return rig::Status::ok();
}

rig::Status make_notify_fifo()
{
    if (auto s = remove_notify_file(); !s)
        return s;
    if (::mkfifo(notify_file, 0600) != 0)
        return rig::Status::failed_errno(std::string("mkfifo ") + notify_file);
    return rig::Status::ok();
}

rig::Status open_fifo_writer(rig::Deadline deadline, rig::unique_fd& out)
{
    // Without a reader, a non-blocking open for writing fails with ENXIO:
    // look again until the plug-in has opened its end.
    for (;;) {
        rig::unique_fd fd(::open(notify_file, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd) {
            out = std::move(fd);
            return rig::Status::ok();
        }
        if (errno != ENXIO)
            return rig::Status::failed_errno(std::string("open ") + notify_file);
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed("the plug-in did not open the notification file");
        ::poll(nullptr, 0, 2);
    }
}

rig::Status feed(int fifo_writer, std::string_view object_path, std::string_view program_text, rig::Deadline deadline)
{
    const std::string r = record(object_path, program_text);
    if (auto s = rig::write_all(fifo_writer, r.data(), r.size(), deadline); !s)
        return rig::Status::failed("feeding a record: " + s.error);
    return rig::Status::ok();
}

} // namespace e2e
