// Preloaded into tv-mkprofile by its tests: an allocation of exactly
// TOLVANE_FAIL_ALLOCATION bytes fails, as when memory has run out, and every
// other one is made as usual. It reaches the paths only such a failure takes.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);

namespace {

// Read on each call: getenv allocates nothing, so it is safe in here.
bool fails(std::size_t size)
{
    const char* failing = std::getenv("TOLVANE_FAIL_ALLOCATION");
    if (failing == nullptr || size != std::strtoull(failing, nullptr, 10))
        return false;
    errno = ENOMEM;
    return true;
}

} // namespace

extern "C" void* malloc(std::size_t size)
{
    return fails(size) ? nullptr : __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size)
{
    return fails(count * size) ? nullptr : __libc_calloc(count, size);
}
