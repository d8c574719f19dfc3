// tolvane-soak-feed: writes COUNT records of the notification file to
// standard output as fast as the reader takes them, for the soak run.
//
//   tolvane-soak-feed COUNT
//
// Out of every 400 records: one new files key and one new camera key (each
// program notified once), a repeat of each right behind it (held back by
// the rate limit, well within its minute), and 396 records the filter
// drops. On standard error, once everything is written:
// "records N notifications M", M being the number of distinct keys written,
// which is the number of notifications the plug-in must send.
#include "notify_record.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr size_t period = 400;
using rig::append_notify_record;

// Appends record i; true when it carries a key not written before.
bool put_soak_record(std::string& out, size_t i)
{
    const size_t key = i / period;
    const std::string program = "/usr/bin/soak-" + std::to_string(key);
    switch (i % period) {
    case 0:
    case 1: // the repeat
        append_notify_record(out, "/home/ann/Documents/soak-" + std::to_string(key) + ".txt", program);
        return i % period == 0;
    case 200:
    case 201: // video1 is the same camera as video0
        append_notify_record(out, i % period == 200 ? "/dev/video0" : "/dev/video1", program);
        return i % period == 200;
    default:
        break;
    }
    switch (i % 3) {
    case 0:
        append_notify_record(out, "/etc/passwd", program);
        break;
    case 1:
        append_notify_record(out, "/home/ann/.cache/soak/" + std::to_string(i), program);
        break;
    default:
        append_notify_record(out, "/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/sbin/daemon" + std::to_string(i % 1000));
        break;
    }
    return false;
}

bool write_all(const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    char* end = nullptr;
    const unsigned long long count = argc == 2 ? std::strtoull(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0') {
        std::fprintf(stderr, "usage: tolvane-soak-feed COUNT\n");
        return 2;
    }
    std::string chunk;
    size_t keys = 0;
    for (size_t i = 0; i < count; ++i) {
        keys += put_soak_record(chunk, i) ? 1 : 0;
        if (chunk.size() >= 64 * 1024 || i + 1 == count) {
            if (!write_all(chunk)) {
                std::fprintf(stderr, "write after %zu records: %s\n", i, std::strerror(errno));
                return 1;
            }
            chunk.clear();
        }
    }
    std::fprintf(stderr, "records %llu notifications %zu\n", count, keys);
    return 0;
}
