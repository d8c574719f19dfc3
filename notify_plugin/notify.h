// The plug-in's entry points and the road of one event. Nothing in the
// plug-in includes this but notify.cpp: the entry points stand above all
// they start.
#pragma once

#include "notify_export.h"

extern "C" {
// Called by the host. KRMRegister starts the sleep monitor (once per process)
// and turns the calling thread into the reader of the notification file; it
// returns 0 when the file has ended, -1 when it cannot be opened or a reader
// is already running. KRMUnregister changes
// nothing. Neither reads anything the host passes.
NOTIFY_EXPORT int KRMRegister(void);
NOTIFY_EXPORT int KRMUnregister(void);
}

// Handles one blocked access: filter, switch, rate limit, notification.
// Returns 0 when the event is dropped, else the notification step's result.
NOTIFY_EXPORT int notify_message(const char* object_path, const char* program_text);

// KRMRegister's work on any path, so it can run on a file of our making.
int run_registration(const char* path);

// KRMRegister itself on any path: run_registration, and -1 for whatever it
// throws, which must never reach the host; a cancelled thread unwinds on.
int register_reader(const char* path);
