// tolvane-notify-check [--send-test]: checks, in order, what desktop
// notifications of blocked accesses depend on, one line per check, and
// exits 0 when notifications can appear, 1 when they cannot.
#include "checks.h"
#include "record_reader.h"

#include <cstdio>
#include <exception>
#include <string_view>

namespace {

constexpr char usage_text[] = "Usage: tolvane-notify-check [--send-test]\n"
                              "Checks why notifications of blocked accesses may not appear.\n"
                              "  --send-test  also send one test notification, as a blocked access would\n";

const char* verdict_word(Verdict verdict)
{
    switch (verdict) {
    case Verdict::ok:
        return "ok";
    case Verdict::warn:
        return "WARN";
    case Verdict::fail:
        break;
    }
    return "FAIL"; // and for a value outside the enumeration, the safe side
}

struct Report {
    bool failed = false;

    // Printed at once, so a check that hangs shows where.
    void add(const CheckResult& result)
    {
        std::printf("%-4s %s: %s\n", verdict_word(result.verdict), result.subject.c_str(), result.text.c_str());
        (void)std::fflush(stdout);
        failed = failed || result.verdict == Verdict::fail;
    }
};

int run(bool send_test)
{
    Report report;
    report.add(check_plugin(TOLVANE_PLUGIN_FILE));
    report.add(check_notify_file(notify_file_path));
    {
        BusConnection user_bus;
        report.add(check_user_bus(user_bus));
        report.add(check_notification_server(user_bus.get()));
    }
    report.add(check_sleep_monitor());
    report.add(check_language());
    if (send_test)
        report.add(send_test_notification());
    return report.failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool send_test = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--send-test") {
            send_test = true;
        } else if (arg == "--help" || arg == "-h") {
            (void)std::fputs(usage_text, stdout);
            return 0;
        } else {
            (void)std::fputs(usage_text, stderr);
            return 2;
        }
    }
    try {
        return run(send_test);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "tolvane-notify-check: %s\n", e.what());
        return 1;
    }
}
