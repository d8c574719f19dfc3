// The D-Bus names the plug-in talks to: the notification server on the user
// bus and logind on the system bus. One place, for the plug-in and for the
// tools that look for these peers.
#pragma once

namespace bus_names {

inline constexpr char notifications_service[] = "org.freedesktop.Notifications";
inline constexpr char notifications_path[] = "/org/freedesktop/Notifications";
inline constexpr char notifications_interface[] = "org.orbisk.ovx.Notification1";
inline constexpr char notify_method[] = "Notify";
inline constexpr char notify_signature[] = "susssasa{sv}i";

inline constexpr char login1_service[] = "org.freedesktop.login1";
inline constexpr char login1_path[] = "/org/freedesktop/login1";
inline constexpr char login1_manager_interface[] = "org.freedesktop.login1.Manager";
inline constexpr char prepare_for_sleep[] = "PrepareForSleep";

} // namespace bus_names
