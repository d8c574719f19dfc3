// The plug-in's entry points, the road of one event, and the switch the sleep
// monitor flips.
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

// 1 while notifications are shown, 0 while the machine sleeps. Exported as a
// plain int; every access goes through a relaxed std::atomic_ref, since the
// monitor thread writes it and the reader reads it, with nothing else shared.
NOTIFY_EXPORT extern int g_notify_onoff;

int notifications_enabled();
void set_notifications_enabled(int on);

// Handles one blocked access: filter, switch, rate limit, notification.
// Returns 0 when the event is dropped, else the notification step's result.
NOTIFY_EXPORT int notify_message(const char* object_path, const char* program_text);

inline constexpr char notify_file_path[] = "/sys/kernel/security/tolvane/.notify";

// KRMRegister's work on any path, so it can run on a file of our making.
int run_registration(const char* path);
