// The checks, in the order they run: each looks at one thing notifications
// depend on, the way the plug-in inside the host will meet it.
#pragma once

#include "bus_handles.h"
#include "check_result.h"

// The plug-in file loads and has both entry points.
CheckResult check_plugin(const char* path);

// The notification file exists, is something records can be read from, and
// this user may read it. Never opens it: whoever reads it takes records away
// from the plug-in.
CheckResult check_notify_file(const char* path);

// The user bus can be opened; on success `bus` holds the connection.
CheckResult check_user_bus(BusConnection& bus);

// On `bus` (null when there is none), the notification server owns its name
// and serves the plug-in's Notify.
CheckResult check_notification_server(sd_bus* bus);

// logind is on the system bus, so sleep can silence notifications.
CheckResult check_sleep_monitor();

// The locale from the environment, and the catalogue its texts come from.
// Sets up the process's translation as the plug-in does.
CheckResult check_language();

// Sends one notification through the plug-in's own message and call.
CheckResult send_test_notification();
