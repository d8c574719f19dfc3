// The desktop notification for a blocked access: one Notify call to the
// notification server on the user bus, with a button that opens the privacy
// page of the control center.
#pragma once

#include "bus_handles.h"
#include "event_filter.h"

#include <string>

// The texts of a notification that depend on the event.
struct NotificationTexts {
    std::string summary; // program text + translated kind message, valid UTF-8
    std::string action_command; // what the button runs, through the hint
};

NotificationTexts build_notification_texts(EventKind kind, const char* program_text, const char* object_path);

// Calls Notify with the texts on `bus` and waits for the server's answer,
// through any signal the calling thread takes. One deadline bounds the whole
// exchange on a new connection (the rest of its handshake, the call and the
// answer): the library's method-call timeout, counted on the monotonic clock
// from the moment this function is called. Sends the call once. Returns the
// call's result: on failure `error` holds what the server or the bus said
// (sd-bus's own words for a timeout), on success `reply` holds the answer.
// Logs nothing, so that programs other than the plug-in can report the
// outcome their own way.
int call_notify(sd_bus* bus, const NotificationTexts& texts, BusError& error, BusMessage& reply);

// Sends one notification over a new user-bus connection and waits for the
// server's answer. Logs a failure; returns the negative errno of the failed
// step, else the call's non-negative result.
int send_blocked_notification(EventKind kind, const char* program_text, const char* object_path);

// What the plug-in sends an event through: send_blocked_notification, by way
// of its table of steps (notify_steps.cpp), unless a test or a benchmark has
// pointed the step elsewhere.
int send_notification_step(EventKind kind, const char* program_text, const char* object_path);
