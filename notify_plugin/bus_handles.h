// Owners for sd-bus objects, so every connection, message and error record is
// released on every way out of the scope that acquired it. The plug-in's and
// the test rig's: one set of owners.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

// Closes without a flush: when the plug-in lets a connection go it has
// nothing left to send (it has had its answer, or the connection failed),
// and a flush could only wait on a peer that reads no more.
struct BusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_close_unref(bus); }
};
using BusConnection = std::unique_ptr<sd_bus, BusCloser>;

// Sends what is still queued first: for a peer whose last signals or
// replies must reach the bus before it goes, as the rig's stand-ins do.
struct BusFlushCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using FlushingBusConnection = std::unique_ptr<sd_bus, BusFlushCloser>;

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
