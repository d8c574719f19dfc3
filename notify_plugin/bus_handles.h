// Owners for sd-bus objects, so every connection, message and error record is
// released on every way out of the scope that acquired it.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

struct BusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_close_unref(bus); }
};
using BusConnection = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using BusMessage = std::unique_ptr<sd_bus_message, MessageUnref>;

// An error record that starts empty and is freed when the scope ends.
struct BusError {
    sd_bus_error error{}; // SD_BUS_ERROR_NULL, which is a C compound literal

    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
};
