#include "notify_unit_fakes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::string_literals;

namespace {

using Texts = std::pair<std::string, std::string>;

constexpr auto record = &rig::notify_record;

void collect(void* context, const char* object_path, const char* program_text)
{
    static_cast<std::vector<Texts>*>(context)->emplace_back(object_path, program_text);
}

// Hands out the data in the given piece sizes, one read call per piece; a
// piece of size 0 is a read interrupted by a signal, -1 a hard read error.
struct PieceSource {
    std::string data;
    std::vector<long> pieces;
    std::size_t at = 0;
    std::size_t next_piece = 0;
};

ssize_t read_piece(void* cookie, char* into, size_t size)
{
    auto& source = *static_cast<PieceSource*>(cookie);
    long piece = source.next_piece < source.pieces.size() ? source.pieces[source.next_piece++] : 4096;
    if (piece == 0) {
        errno = EINTR;
        return -1;
    }
    if (piece < 0) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = std::min({static_cast<std::size_t>(piece), size, source.data.size() - source.at});
    std::memcpy(into, source.data.data() + source.at, n);
    source.at += n;
    return static_cast<ssize_t>(n);
}

std::vector<Texts> read_pieces(PieceSource& source)
{
    const fakes::File stream(fopencookie(&source, "r", {read_piece, nullptr, nullptr, nullptr}));
    std::vector<Texts> got;
    EXPECT_NE(stream, nullptr);
    if (stream)
        read_records(stream.get(), collect, &got);
    return got;
}

const std::string long_path(512, 'p');
const std::string long_program(512, 'q');

TEST(RecordReader, BoundsEachTextByItsFieldAndItsFirstNul)
{
    const std::string data = record("/home/a/Documents/x", "/usr/bin/app") + record("", "")
        + record(long_path, long_program) + record("a\0b"s, "c\0d"s) + record("", "prog");
    PieceSource source{data, {}};
    const std::vector<Texts> expected = {
        {"/home/a/Documents/x", "/usr/bin/app"},
        {"", ""},
        {long_path, long_program},
        {"a", "c"},
        {"", "prog"},
    };
    EXPECT_EQ(read_pieces(source), expected);
}

TEST(RecordReader, GathersRecordsDeliveredInPiecesAndAcrossInterruptions)
{
    const std::string data = record("/dev/video0", "one") + record(long_path, "two") + record("three", long_program);
    const std::vector<Texts> expected = {{"/dev/video0", "one"}, {long_path, "two"}, {"three", long_program}};
    const std::vector<std::vector<long>> deliveries = {
        {1},
        {1023, 1, 1, 1023},
        {7, 0, 300, 0, 0, 1, 511, 2},
        {511, 0, 2, 0, 1022, 1},
        {3072},
    };
    for (const auto& pieces : deliveries) {
        std::vector<long> repeated; // the pattern again and again until the data is out
        while (repeated.size() < data.size())
            repeated.insert(repeated.end(), pieces.begin(), pieces.end());
        PieceSource source{data, repeated};
        EXPECT_EQ(read_pieces(source), expected) << testing::PrintToString(pieces);
    }
}

TEST(RecordReader, StopsAtEndOfFileReadErrorOrPartialRecord)
{
    struct Case {
        const char* name;
        std::string data;
        std::vector<long> pieces;
        std::size_t records;
    };
    const std::string two = record("a", "b") + record("c", "d");
    const Case cases[] = {
        {"empty stream", "", {}, 0},
        {"two and a half records", two + std::string(512, 'x'), {}, 2},
        {"one byte short of three", two + std::string(1023, 'x'), {}, 2},
        {"read error inside the second record", two, {1024, 100, -1}, 1},
        {"read error between records", two, {1024, -1}, 1},
    };
    for (const auto& c : cases) {
        PieceSource source{c.data, c.pieces};
        EXPECT_EQ(read_pieces(source).size(), c.records) << c.name;
    }
}

TEST(RecordReader, ReadsAPipeFedInOddPiecesByAnotherThread)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fakes::Fd write_end(fds[1]);
    const fakes::File stream(fdopen(fds[0], "r"));
    ASSERT_NE(stream, nullptr);
    std::string data;
    std::vector<Texts> expected;
    for (int i = 0; i < 40; ++i) {
        const std::string path = i % 3 == 0 ? long_path : "/home/u/Pictures/" + std::to_string(i);
        data += record(path, "prog" + std::to_string(i));
        expected.emplace_back(path, "prog" + std::to_string(i));
    }
    data += "tail";

    std::thread writer([&data, owned = std::move(write_end)]() mutable {
        const fakes::Fd fd = std::move(owned); // closed when all is written: the reader's end of file
        const std::size_t sizes[] = {1, 3, 1021, 511, 1, 4095, 7, 2048};
        std::size_t at = 0;
        for (std::size_t i = 0; at < data.size(); ++i) {
            const std::size_t n = std::min(sizes[i % std::size(sizes)], data.size() - at);
            const ssize_t written = write(fd.get(), data.data() + at, n);
            if (written <= 0)
                break;
            at += static_cast<std::size_t>(written);
        }
    });
    std::vector<Texts> got;
    const std::size_t records = read_records(stream.get(), collect, &got);
    writer.join();
    EXPECT_EQ(records, expected.size());
    EXPECT_EQ(got, expected);
}

TEST(RecordReader, GoesOnAfterAHandlerThrows)
{
    PieceSource source{record("1", "") + record("2", "") + record("3", "") + record("4", ""), {}};
    const fakes::File stream(fopencookie(&source, "r", {read_piece, nullptr, nullptr, nullptr}));
    ASSERT_NE(stream, nullptr);
    std::vector<std::string> seen;
    const auto throwing = [](void* context, const char* object_path, const char*) {
        static_cast<std::vector<std::string>*>(context)->push_back(object_path);
        if (object_path == "1"s)
            throw std::bad_alloc();
        if (object_path == "3"s)
            throw std::runtime_error("three");
    };
    EXPECT_EQ(read_records(stream.get(), throwing, &seen), 4u);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3", "4"}));
}

} // namespace
