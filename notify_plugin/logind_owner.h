// Whom the sleep monitor believes: the connection that owns logind's name on
// the system bus right now. Any connection may send a signal, unicast ones
// included, naming any path, interface and member; sd-bus cannot check a
// well-known sender on the receiving side. So the monitor follows the unique
// name behind "org.freedesktop.login1" and compares each signal's sender
// with it. Monitor thread only.
#pragma once

#include <systemd/sd-bus.h>

// Subscribes to the bus's NameOwnerChanged for logind's name, then asks the
// bus who owns it now. The bus orders its messages, so every later change,
// and a new owner's first signal after its change, arrives after this.
// Subscribe to logind's own signals only afterwards, so none of them comes
// before its sender is known. Returns a negative errno when the subscription
// or the question fails; a name that nobody owns is no failure.
int follow_logind_owner(sd_bus* bus);

// True when `message` comes from the connection that owns logind's name now;
// false when nobody owns it.
bool sent_by_logind(sd_bus_message* message);

// NameOwnerChanged handler: takes the new owner of logind's name (none when
// logind has gone). Only the bus itself is heard.
int on_logind_owner_changed(sd_bus_message* message, void* userdata, sd_bus_error* ret_error) noexcept;
