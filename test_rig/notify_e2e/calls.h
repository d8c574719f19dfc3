// What the test notification server recorded, and the texts the plug-in
// sends, untranslated.
#pragma once

#include "notify_e2e/rig.h"
#include "recorded_call.h"

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {

inline constexpr const char* files_suffix = " has been blocked from accessing the files and folders";
inline constexpr const char* camera_suffix = " has been blocked from using the camera";
inline constexpr const char* command_prefix
    = "qdbus,org.orbisk.ovx.ControlCenter1,/org/orbisk/ovx/ControlCenter1,org.orbisk.ovx.ControlCenter1.ShowPage,";

// The calls the server has recorded so far.
std::vector<rig::RecordedCall> recorded_calls(const Rig& rig);
// Waits until at least `count` calls are recorded, or the deadline.
std::vector<rig::RecordedCall> wait_for_calls(const Rig& rig, std::size_t count, rig::Deadline deadline);

std::vector<std::string> summaries(const std::vector<rig::RecordedCall>& calls);

} // namespace e2e

namespace rig {
// How GoogleTest shows a call in a failure: the server's own line.
void PrintTo(const RecordedCall& call, std::ostream* out);
} // namespace rig
