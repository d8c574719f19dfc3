// Silencing notifications while the machine sleeps, driven by logind's
// PrepareForSleep signal on the system bus.
#pragma once

#include "notify_export.h"

#include <systemd/sd-bus.h>

#include <chrono>

// After a resume the desktop may not be ready to show anything yet.
inline constexpr std::chrono::seconds resume_grace{2};

// PrepareForSleep handler: true silences at once; false shows again after
// resume_grace, slept on the calling (monitor) thread. Returns 0, or -1 when
// the argument is not a boolean. Leaves user data and error record alone.
NOTIFY_EXPORT int on_set_notify_onoff(sd_bus_message* message, void* userdata, sd_bus_error* ret_error) noexcept;
