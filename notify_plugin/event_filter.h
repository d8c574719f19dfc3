// Which blocked accesses concern the user (camera devices and the private
// folders of home directories), what an event is about (its key and kind),
// and the trimming the keys go through. All of it is bytewise: no path is
// normalised, resolved or decoded.
#pragma once

#include "notify_export.h"

#include <string>
#include <string_view>

enum class EventKind { camera, files_and_folders };

// Exactly the six characters the trim functions remove, in this order:
// space, line feed, carriage return, tab, form feed, vertical tab. Constant
// data: nothing to build at load or to tear down at exit.
inline constexpr std::string_view whitespace_chars = " \n\r\t\f\v";

NOTIFY_EXPORT std::string ltrim(std::string_view s);
NOTIFY_EXPORT std::string rtrim(std::string_view s);
NOTIFY_EXPORT std::string trim(std::string_view s);

// trim() without the copy, for the emptiness checks every event goes through.
std::string_view trim_view(std::string_view s);

// True for a path beginning "/dev/video", or beginning "/home/" and holding
// one of the private folder names anywhere (a substring, not a component).
NOTIFY_EXPORT bool is_ovx_controlcenter_privacy_folder(std::string_view path);

bool is_camera_path(std::string_view object_path);

EventKind event_kind(std::string_view object_path);

// The object an event is about. A camera's device number is read as strtol
// reads it and folded with & 0xFE, so /dev/video2k and /dev/video2k+1 (one
// camera's capture and metadata nodes) share "/dev/video2k". Any other path
// is its own key. The result is not trimmed yet.
std::string event_key(const char* object_path);
