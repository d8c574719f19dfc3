// The owner of one file descriptor of the generator's.
#pragma once

#include <unistd.h>

struct UniqueFd {
    int fd = -1;
    explicit UniqueFd(int f) : fd(f) { }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Hands the descriptor over to the caller.
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
    // Closes now and reports whether the kernel accepted the file's data.
    bool close_checked() { return ::close(release()) == 0; }
};
