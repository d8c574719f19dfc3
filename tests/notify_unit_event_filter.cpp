#include "event_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace std::string_literals;

namespace {

struct TrimCase {
    std::string input;
    std::string left, right, both;
};

TEST(Trimming, RemovesExactlyTheSixWhitespaceCharactersAtEachEnd)
{
    const TrimCase cases[] = {
        {"", "", "", ""},
        {" \n\r\t\f\v", "", "", ""},
        {"abc", "abc", "abc", "abc"},
        {"  a b  ", "a b  ", "  a b", "a b"},
        {"\v\fx\t\r\n", "x\t\r\n", "\v\fx", "x"},
        {"\tin side\n", "in side\n", "\tin side", "in side"},
        // NUL and other control characters are not whitespace.
        {"\0a\0"s, "\0a\0"s, "\0a\0"s, "\0a\0"s},
        {"\x1b"
         "a\x85",
            "\x1b"
            "a\x85",
            "\x1b"
            "a\x85",
            "\x1b"
            "a\x85"},
        {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        EXPECT_EQ(ltrim(c.input), c.left);
        EXPECT_EQ(rtrim(c.input), c.right);
        EXPECT_EQ(trim(c.input), c.both);
        EXPECT_EQ(trim_view(c.input), c.both);
    }
}

struct FilterCase {
    const char* path;
    bool accepted;
};

TEST(PrivacyFolderFilter, AcceptsCamerasAndPrivateHomeFoldersOnly)
{
    const FilterCase cases[] = {
        {"/dev/video0", true},
        {"/dev/video12", true},
        {"/dev/videoX", true},
        {"/dev/video", true},
        {"/dev/vide", false},
        {"/dev/Video0", false},
        {"/home/ann/Documents/a.txt", true},
        {"/home/ann/Pictures/p.png", true},
        {"/home/ann/Desktop/x", true},
        {"/home/ann/Downloads/x", true},
        {"/home/ann/Music/x", true},
        {"/home/ann/Videos/x", true},
        {"/home/ann/Musicals/x", true},
        {"/home/ann/DesktopOld", true},
        {"/home/Documents", true},
        {"/home/ann/.config/Videos/x", true},
        {"/home/ann/.ssh/id", false},
        {"/home/ann/documents/x", false},
        {"/root/Documents/a", false},
        {"/srv/home/ann/Documents", false},
        {"/home/", false},
        {"/home", false},
        {"home/ann/Documents", false},
        {" /home/ann/Documents", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_ovx_controlcenter_privacy_folder(c.path), c.accepted) << c.path;
}

struct KeyCase {
    const char* object_path;
    const char* key;
    EventKind kind;
};

TEST(EventKey, FoldsCameraNodesInPairsAndKeepsOtherPathsWhole)
{
    constexpr auto camera = EventKind::camera;
    constexpr auto files = EventKind::files_and_folders;
    const KeyCase cases[] = {
        {"/dev/video", "/dev/video0", camera},
        {"/dev/videoX", "/dev/video0", camera},
        {"/dev/video0", "/dev/video0", camera},
        {"/dev/video1", "/dev/video0", camera},
        {"/dev/video3", "/dev/video2", camera},
        {"/dev/video255", "/dev/video254", camera},
        {"/dev/video256", "/dev/video0", camera},
        {"/dev/video257", "/dev/video0", camera},
        {"/dev/video-1", "/dev/video254", camera},
        {"/dev/video-2", "/dev/video254", camera},
        {"/dev/video-256", "/dev/video0", camera},
        {"/dev/video007", "/dev/video6", camera},
        {"/dev/video12abc", "/dev/video12", camera},
        {"/dev/video0x10", "/dev/video0", camera},
        {"/dev/video 5", "/dev/video4", camera},
        {"/dev/video\t\n+7", "/dev/video6", camera},
        {"/dev/video- 5", "/dev/video0", camera},
        // Beyond 64 bits strtol saturates: LONG_MAX & 0xFE, LONG_MIN & 0xFE.
        {"/dev/video99999999999999999999999", "/dev/video254", camera},
        {"/dev/video-99999999999999999999999", "/dev/video0", camera},
        {"/dev/video9223372036854775807", "/dev/video254", camera},
        {"/dev/video9223372036854775806", "/dev/video254", camera},
        {"/dev/video4294967297", "/dev/video0", camera},
        {"/home/ann/Documents/a.txt", "/home/ann/Documents/a.txt", files},
        {"/home/ann/Documents/a.txt \n", "/home/ann/Documents/a.txt \n", files},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(event_key(c.object_path), c.key) << c.object_path;
        EXPECT_EQ(event_kind(c.object_path), c.kind) << c.object_path;
    }
}

} // namespace
