#include "bus_names.h"
#include "checks.h"
#include "error_text.h"
#include "object_interfaces.h"

#include <algorithm>
#include <memory>
#include <string>

namespace {

struct CredsUnref {
    void operator()(sd_bus_creds* creds) const noexcept { sd_bus_creds_unref(creds); }
};
using Creds = std::unique_ptr<sd_bus_creds, CredsUnref>;

const std::string subject = "notification server";
const std::string service = bus_names::notifications_service;
const std::string interface = bus_names::notifications_interface;

// The program behind the name, as a user knows it: "dunst (pid 1234)".
// Its executable may be hidden from us; its command line and name are not.
std::string describe_owner(sd_bus* bus)
{
    sd_bus_creds* raw = nullptr;
    if (sd_bus_get_name_creds(bus, bus_names::notifications_service,
            SD_BUS_CREDS_PID | SD_BUS_CREDS_EXE | SD_BUS_CREDS_CMDLINE | SD_BUS_CREDS_COMM | SD_BUS_CREDS_AUGMENT, &raw)
        < 0)
        return "a program";
    const Creds creds(raw);
    std::string program = "a program";
    const char* exe = nullptr;
    char** command_line = nullptr;
    const char* comm = nullptr;
    if (sd_bus_creds_get_exe(creds.get(), &exe) >= 0 && exe)
        program = exe;
    // A program that set its title to nothing leaves an empty first word.
    else if (sd_bus_creds_get_cmdline(creds.get(), &command_line) >= 0 && command_line && command_line[0]
        && *command_line[0] != '\0')
        program = command_line[0];
    else if (sd_bus_creds_get_comm(creds.get(), &comm) >= 0 && comm)
        program = comm;
    program.erase(0, program.rfind('/') + 1);
    pid_t pid = 0;
    if (sd_bus_creds_get_pid(creds.get(), &pid) >= 0)
        program += " (pid " + std::to_string(pid) + ")";
    return program;
}

// The interfaces a program offers of its own, without the bus's standard ones.
std::string own_interfaces(const ObjectInterfaces& object)
{
    std::string list;
    for (const auto& name : object.names) {
        if (name.starts_with("org.freedesktop.DBus."))
            continue;
        list += list.empty() ? "" : ", ";
        list += name;
    }
    return list.empty() ? "nothing else" : list;
}

} // namespace

CheckResult check_notification_server(sd_bus* bus)
{
    if (!bus)
        return {Verdict::fail, subject, "cannot be asked without a user bus; see the user bus line"};
    BusError error;
    sd_bus_message* raw_reply = nullptr;
    // Started on demand like the plug-in's own call would start it.
    const int r = sd_bus_call_method(bus, bus_names::notifications_service, bus_names::notifications_path,
        "org.freedesktop.DBus.Introspectable", "Introspect", &error.error, &raw_reply, "");
    const BusMessage reply(raw_reply);
    if (r < 0) {
        if (sd_bus_error_has_name(&error.error, SD_BUS_ERROR_SERVICE_UNKNOWN))
            return {Verdict::fail, subject,
                "nothing owns " + service + " on the user bus; start the desktop's notification server"};
        // An error may come without a message, and a call that fails here without a name.
        const std::string why = error.error.message ? error.error.message
            : error.error.name                      ? error.error.name
                                                    : error_text(-r);
        return {Verdict::fail, subject,
            "cannot introspect " + service + ": " + why + "; restart the desktop's notification server"};
    }
    const char* xml = nullptr;
    if (sd_bus_message_read(reply.get(), "s", &xml) < 0 || !xml)
        return {Verdict::fail, subject, service + " answered introspection with no description; restart it"};
    const ObjectInterfaces object = parse_introspection(xml);
    const std::string owner = describe_owner(bus);

    if (std::find(object.names.begin(), object.names.end(), interface) == object.names.end())
        return {Verdict::fail, subject,
            owner + " owns " + service + " but does not serve " + interface + " (it offers " + own_interfaces(object)
                + "): it is another desktop's notification server, which cannot show tolvane's notifications; run "
                  "the desktop's own notification server in its place"};
    const std::string method = interface + "." + bus_names::notify_method;
    const auto found = object.input_signatures.find(method);
    if (found == object.input_signatures.end() || found->second != bus_names::notify_signature)
        return {Verdict::fail, subject,
            owner + " serves " + interface + " without " + bus_names::notify_method + " taking "
                + bus_names::notify_signature + "; update the desktop's notification server"};
    return {Verdict::ok, subject,
        owner + " owns " + service + " and serves " + method + " (" + bus_names::notify_signature + ")"};
}
