#include "bus_names.h"
#include "bus_source.h"
#include "checks.h"
#include "error_text.h"

#include <cerrno>
#include <string>

namespace {

const std::string subject = "sleep monitor";
constexpr char consequence[] = "; notifications still appear, but are not silenced while the machine sleeps";

} // namespace

CheckResult check_sleep_monitor()
{
    const BusSource source = system_bus_source();
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    const BusConnection bus(raw);
    if (r < 0)
        return {Verdict::warn, subject,
            "cannot connect to the system bus at " + source.describe() + ": " + error_text(-r) + consequence};
    // Only asks who owns the name: the plug-in listens and never starts logind.
    sd_bus_creds* creds = nullptr;
    r = sd_bus_get_name_creds(bus.get(), bus_names::login1_service, SD_BUS_CREDS_UNIQUE_NAME, &creds);
    sd_bus_creds_unref(creds);
    if (r == -ENXIO)
        return {Verdict::warn, subject,
            std::string("nothing owns ") + bus_names::login1_service + " on the system bus, so systemd-logind is not "
                + "running" + consequence};
    if (r < 0)
        return {Verdict::warn, subject,
            std::string("cannot ask the system bus for ") + bus_names::login1_service + ": " + error_text(-r)
                + consequence};
    return {Verdict::ok, subject,
        std::string(bus_names::login1_service) + " is on the system bus at " + source.describe()
            + "; notifications pause while the machine sleeps"};
}
