#include "logind_owner.h"

#include "bus_handles.h"
#include "bus_names.h"
#include "state_probes.h"

#include <cstring>
#include <string_view>

namespace {

constexpr char bus_service[] = "org.freedesktop.DBus";
constexpr char bus_path[] = "/org/freedesktop/DBus";
// The bus sends this signal for every name that changes hands; ask for
// logind's alone.
constexpr char owner_changed_rule[]
    = "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0='org.freedesktop.login1'";

// A bus name is at most 255 bytes; the fixed room keeps this state free of
// allocation and of any destructor that could run while the monitor does.
struct Owner {
    char name[256];
    std::size_t length; // 0: nobody owns the name, or nobody is known to
};
Owner owner{};

void set_owner(std::string_view name)
{
    if (name.size() >= sizeof owner.name)
        name = {}; // no bus hands out such a name: trust nobody
    std::memcpy(owner.name, name.data(), name.size());
    owner.length = name.size();
}

} // namespace

void forget_logind_owner()
{
    owner.length = 0;
}

bool sent_by_logind(sd_bus_message* message)
{
    const char* sender = sd_bus_message_get_sender(message);
    // No sender is empty, so nobody matches while nobody owns the name.
    return sender && std::string_view(sender) == std::string_view(owner.name, owner.length);
}

int on_logind_owner_changed(sd_bus_message* message, void*, sd_bus_error*) noexcept
{
    // Only the bus speaks as "org.freedesktop.DBus": no client can own it.
    const char* sender = sd_bus_message_get_sender(message);
    if (!sender || std::string_view(sender) != bus_service)
        return 0;
    const char* name = nullptr;
    const char* old_owner = nullptr;
    const char* new_owner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &old_owner, &new_owner) < 0
        || std::string_view(name) != bus_names::login1_service)
        return 0;
    // logind going away is no resume: the silence runs on to its bound.
    set_owner(new_owner);
    return 0;
}

int follow_logind_owner(sd_bus* bus)
{
    owner.length = 0; // as at the start of a monitor: nobody is known to own the name
    int r = sd_bus_add_match(bus, nullptr, owner_changed_rule, on_logind_owner_changed, nullptr);
    if (r < 0)
        return r;
    BusError error;
    sd_bus_message* raw_reply = nullptr;
    r = sd_bus_call_method(bus, bus_service, bus_path, bus_service, "GetNameOwner", &error.error, &raw_reply, "s",
        bus_names::login1_service);
    const BusMessage reply(raw_reply);
    if (r < 0)
        return sd_bus_error_has_name(&error.error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ? 0 : r;
    const char* unique_name = nullptr;
    r = sd_bus_message_read(reply.get(), "s", &unique_name);
    if (r < 0)
        return r;
    set_owner(unique_name);
    return 0;
}
