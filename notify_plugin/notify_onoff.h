// The switch the sleep monitor flips and the reader reads: the only datum
// the plug-in's two threads share.
#pragma once

#include "notify_export.h"

// 1 while notifications are shown, 0 while the machine sleeps. Exported as a
// plain int; every access goes through a relaxed std::atomic_ref, since the
// monitor thread writes it and the reader reads it, with nothing else shared.
NOTIFY_EXPORT extern int g_notify_onoff;

int notifications_enabled();
void set_notifications_enabled(int on);
