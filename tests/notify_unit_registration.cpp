#include "notify_unit_fakes.h"

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <thread>

namespace {

constexpr auto record = &rig::notify_record;

class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakes::install();
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/notify-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
        fakes::restore();
    }
    std::string write_file(const std::string& name, const std::string& data)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << data;
        return path;
    }
    std::string dir;
};

const char open_failed_line[] = "notify(302)-> open /sys/kernel/security/tolvane/.notify failed!";

TEST_F(Registration, AMissingFileIsReportedOnceAndReturnsMinusOne)
{
    EXPECT_EQ(run_registration((dir + "/absent").c_str()), -1);
    // The texts are set up all the same, and the host finds the plug-in's
    // domain selected, bound where the catalogues are installed, in UTF-8.
    EXPECT_STREQ(textdomain(nullptr), "tolvane");
    EXPECT_STREQ(bindtextdomain("tolvane", nullptr), TOLVANE_LOCALE_DIR);
    EXPECT_STREQ(bind_textdomain_codeset("tolvane", nullptr), "UTF-8");
    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_ERR);
    EXPECT_EQ(fakes::logged[0].text, open_failed_line);
}

// A log sink that throws (a host's, out of memory) stops at the entry point:
// the host sees -1, and the reader's place is free for the next registration.
TEST_F(Registration, WhatTheRegistrationThrowsNeverReachesTheHost)
{
    notify_steps::log_sink = [](int, const char*, va_list) { throw std::bad_alloc(); };
    EXPECT_EQ(register_reader((dir + "/absent").c_str()), -1);
    notify_steps::log_sink = fakes::capture_log;
    EXPECT_EQ(register_reader(write_file("notify", record("/dev/video0", "/usr/bin/cam")).c_str()), 0);
    EXPECT_EQ(fakes::sent.size(), 1u);
}

TEST_F(Registration, HandsEveryWholeRecordOnAndDropsAPartialOne)
{
    const std::string data = record("/home/ann/Documents/a", "/usr/bin/one") + record("/dev/video1", "/usr/bin/two")
        + record("/home/ann/Music/b", "/usr/bin/three").substr(0, 512);
    EXPECT_EQ(run_registration(write_file("notify", data).c_str()), 0);
    ASSERT_EQ(fakes::sent.size(), 2u);
    EXPECT_EQ(fakes::sent[0].program_text, "/usr/bin/one");
    EXPECT_EQ(fakes::sent[1].object_path, "/dev/video1");
    EXPECT_TRUE(fakes::logged.empty());
}

TEST_F(Registration, AnEmptyFileEndsTheReaderAtOnce)
{
    EXPECT_EQ(run_registration(write_file("notify", "").c_str()), 0);
    EXPECT_TRUE(fakes::sent.empty());
}

TEST_F(Registration, ASecondRegistrationIsRefusedWhileAReaderRuns)
{
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int first_result = 1;
    std::thread reader([&] { first_result = run_registration(fifo.c_str()); });

    // Opening for writing waits until the reader has opened the FIFO, and the
    // reader claims its place before it opens anything.
    std::optional<fakes::Fd> writer(std::in_place, open(fifo.c_str(), O_WRONLY));
    ASSERT_TRUE(*writer);
    EXPECT_EQ(run_registration((dir + "/absent").c_str()), -1);
    EXPECT_TRUE(fakes::logged.empty()) << "the refused registration tried to open its file";
    EXPECT_EQ(KRMUnregister(), 0);

    const std::string one = record("/dev/video0", "/usr/bin/cam");
    ASSERT_EQ(write(writer->get(), one.data(), one.size()), static_cast<ssize_t>(one.size()));
    writer.reset(); // the reader's end of file
    reader.join();
    EXPECT_EQ(first_result, 0);
    EXPECT_EQ(fakes::sent.size(), 1u);

    // Once the reader has ended, registering is allowed again.
    EXPECT_EQ(run_registration((dir + "/absent").c_str()), -1);
    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].text, open_failed_line);
    EXPECT_EQ(run_registration(write_file("again", "").c_str()), 0);
}

TEST_F(Registration, UnregisteringChangesNothing)
{
    notify_message("/dev/video0", "/usr/bin/cam");
    set_notifications_enabled(0);
    EXPECT_EQ(KRMUnregister(), 0);
    EXPECT_EQ(notifications_enabled(), 0);
    EXPECT_EQ(message_time_map.value.size(), 1u);
}

} // namespace
