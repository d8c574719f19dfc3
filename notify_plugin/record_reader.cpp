#include "record_reader.h"

#include <cxxabi.h>

#include <cerrno>
#include <cstring>

namespace {

// The record as read, and room to give a field without a NUL its terminator:
// such a field's text is the whole field and never runs into the next one.
struct ReaderBuffer {
    NotifyRecord record;
    char object_path_spill[notify_field_size + 1];
    char program_text_spill[notify_field_size + 1];
};

// Gathers exactly `size` bytes, however the stream delivers them (a FIFO
// hands out whatever the writer has written so far). A signal that interrupts
// the read is no read error: go on where it stopped. The stream is the
// reader's alone, so stdio's per-call locking (a third of fread's cost) is
// skipped.
bool read_exactly(std::FILE* stream, char* into, std::size_t size)
{
    std::size_t got = 0;
    for (;;) {
        got += fread_unlocked(into + got, 1, size - got, stream);
        if (got == size)
            return true;
        // Short: the end of the file, or a read error, which set errno.
        if (!ferror_unlocked(stream) || errno != EINTR)
            return false;
        clearerr_unlocked(stream);
    }
}

// Nearly every field ends well inside itself and is used where it lies; only
// a full one is copied out to get a NUL after it.
const char* bounded_text(const char (&field)[notify_field_size], char (&spill)[notify_field_size + 1])
{
    if (std::memchr(field, '\0', notify_field_size))
        return field;
    std::memcpy(spill, field, notify_field_size);
    return spill;
}

} // namespace

std::size_t read_records(std::FILE* stream, RecordHandler handle, void* context)
{
    // Copies fill the first 512 bytes of a spill only: its last byte stays NUL.
    ReaderBuffer buffer{};

    std::size_t records = 0;
    while (read_exactly(stream, reinterpret_cast<char*>(&buffer.record), sizeof buffer.record)) {
        ++records;
        try {
            handle(context, bounded_text(buffer.record.object_path, buffer.object_path_spill),
                bounded_text(buffer.record.program_text, buffer.program_text_spill));
        } catch (abi::__forced_unwind&) {
            throw; // the host cancelled its thread: let the unwinding finish
        } catch (...) {
            // Only memory exhaustion gets here; this record is lost, the
            // next one may fare better.
            continue;
        }
    }
    return records;
}
