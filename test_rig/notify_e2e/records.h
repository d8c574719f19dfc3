// Feeding the plug-in: the notification file as a regular file or a FIFO,
// and records written into it.
#pragma once

#include "child_process.h"
#include "notify_record.h"
#include "plugin_paths.h"
#include "status.h"
#include "unique_fd.h"

#include <string>
#include <string_view>

namespace e2e {

using rig::notify_file;

// One 1024-byte record (notify_record.h).
inline std::string record(std::string_view object_path, std::string_view program_text)
{
    return rig::notify_record(object_path, program_text);
}

rig::Status remove_notify_file();
// The notification file as a regular file with these bytes, or as a FIFO.
rig::Status write_notify_file(const std::string& bytes);
rig::Status make_notify_fifo();

// Opens the FIFO for writing (non-blocking writes) once the plug-in has
// opened it for reading.
rig::Status open_fifo_writer(rig::Deadline deadline, rig::unique_fd& out);

// Writes one record to the FIFO.
rig::Status feed(int fifo_writer, std::string_view object_path, std::string_view program_text, rig::Deadline deadline);

} // namespace e2e
