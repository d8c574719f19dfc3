#include "notify_onoff.h"

#include <atomic>

int g_notify_onoff = 1;
static_assert(std::atomic_ref<int>::required_alignment <= alignof(int));

int notifications_enabled()
{
    return std::atomic_ref<int>(g_notify_onoff).load(std::memory_order_relaxed);
}

void set_notifications_enabled(int on)
{
    std::atomic_ref<int>(g_notify_onoff).store(on, std::memory_order_relaxed);
}
