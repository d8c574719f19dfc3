#include "record_reader.h"

#include <cxxabi.h>

#include <cerrno>

namespace {

// The record as read, each field followed by a NUL of our own: a field with
// no NUL ends at the field's end, never in the next field or past the record.
struct ReaderBuffer {
    char object_path[notify_field_size + 1];
    char program_text[notify_field_size + 1];
};

// Gathers exactly `size` bytes, however the stream delivers them (a FIFO
// hands out whatever the writer has written so far). A signal that interrupts
// the read is no read error: go on where it stopped.
bool read_exactly(std::FILE* stream, char* into, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        errno = 0;
        got += std::fread(into + got, 1, size - got, stream);
        if (got == size)
            break;
        if (std::feof(stream))
            return false;
        if (std::ferror(stream)) {
            if (errno != EINTR)
                return false;
            std::clearerr(stream);
        }
    }
    return true;
}

bool read_record(std::FILE* stream, ReaderBuffer& buffer)
{
    return read_exactly(stream, buffer.object_path, notify_field_size) &&
           read_exactly(stream, buffer.program_text, notify_field_size);
}

}  // namespace

std::size_t read_records(std::FILE* stream, RecordHandler handle, void* context)
{
    // Reads fill the fields only, so the byte after each stays NUL.
    ReaderBuffer buffer{};

    std::size_t records = 0;
    while (read_record(stream, buffer)) {
        ++records;
        try {
            handle(context, buffer.object_path, buffer.program_text);
        } catch (abi::__forced_unwind&) {
            throw;  // the host cancelled its thread: let the unwinding finish
        } catch (...) {
            // Only memory exhaustion gets here; this record is lost, the
            // next one may fare better.
        }
    }
    return records;
}
