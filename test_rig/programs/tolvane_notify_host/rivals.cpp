// Names that the notification plug-in defines as well, defined again by the
// host as an unrelated program of its own might. The host is linked to
// export its symbols, so a plug-in that looked its own names up in the
// process would get these: each one says so on standard error when used, and
// the switch starts off, which would silence every notification.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

struct sd_bus_message;
struct sd_bus_error;

namespace {

std::atomic<int> rivals_used{0};

void used(const char* name)
{
    rivals_used.fetch_add(1);
    std::fprintf(stderr, "the host's own %s was used in place of the plug-in's\n", name);
}

} // namespace

int g_notify_onoff = 0;
std::map<std::string, std::int64_t> message_time_map;

int notify_message(const char*, const char*)
{
    used("notify_message");
    return 0;
}

int on_set_notify_onoff(sd_bus_message*, void*, sd_bus_error*)
{
    used("on_set_notify_onoff");
    return 0;
}

void update_message_time_map(std::int64_t)
{
    used("update_message_time_map");
}

std::string ltrim(std::string_view)
{
    used("ltrim");
    return {};
}

std::string rtrim(std::string_view)
{
    used("rtrim");
    return {};
}

std::string trim(std::string_view)
{
    used("trim");
    return {};
}

bool is_ovx_controlcenter_privacy_folder(std::string_view)
{
    used("is_ovx_controlcenter_privacy_folder");
    return false;
}

// The two data rivals cannot tell when they are used, only whether they
// were changed; call this at the end.
int host_rivals_used()
{
    if (!message_time_map.empty())
        used("message_time_map");
    if (g_notify_onoff != 0)
        used("g_notify_onoff");
    return rivals_used.load();
}
