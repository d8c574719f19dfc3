// Reading the kernel module's notification stream: back-to-back 1024-byte
// records, no header, separator or trailer.
#pragma once

#include <cstddef>
#include <cstdio>

// Where the kernel module publishes the stream.
inline constexpr char notify_file_path[] = "/sys/kernel/security/tolvane/.notify";

inline constexpr std::size_t notify_field_size = 512;

// One record. Each field holds a byte text ending at its first NUL; a field
// with no NUL is all 512 bytes of text.
struct NotifyRecord {
    char object_path[notify_field_size];
    char program_text[notify_field_size];
};
static_assert(sizeof(NotifyRecord) == 1024);
static_assert(offsetof(NotifyRecord, program_text) == 512);

// Called once per whole record with the two field texts, NUL-terminated and
// valid only during the call.
using RecordHandler = void (*)(void* context, const char* object_path, const char* program_text);

// Reads records until end of file, a read error or a partial record (which is
// dropped) and hands each whole one to `handle`. The stream must not be used
// by another thread meanwhile: it is read without stdio's locking. An exception thrown by the
// handler costs that record only. Returns the number of records handed on.
std::size_t read_records(std::FILE* stream, RecordHandler handle, void* context);
