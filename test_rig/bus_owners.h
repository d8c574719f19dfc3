// Scope-bound owners for the sd-bus objects the rig programs hold.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

namespace rig {

struct BusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using bus_ptr = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* m) const noexcept { sd_bus_message_unref(m); }
};
using message_ptr = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error must start as SD_BUS_ERROR_NULL and be freed on every path.
struct BusError {
    sd_bus_error error{}; // SD_BUS_ERROR_NULL, which C++ cannot spell: a C compound literal
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
};

} // namespace rig
