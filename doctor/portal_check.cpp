// Asks the session bus about org.freedesktop.portal.Desktop through sd-bus.
#include "doctor/portal_check.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

namespace frix::doctor {

namespace {

constexpr const char* portal_name = "org.freedesktop.portal.Desktop";
constexpr std::chrono::milliseconds start_limit{5000};

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

// One method call's error, freed however the call ends.
struct CallError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CallError() { sd_bus_error_free(&error); }
    std::string text(int result) const {
        return error.message ? error.message : std::strerror(-result);
    }
};

// Empty without an owner; failure says why the bus did not answer.
std::string name_owner(sd_bus* bus, std::string& failure) {
    CallError error;
    sd_bus_message* reply = nullptr;
    const int called = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetNameOwner", &error.error,
                                          &reply, "s", portal_name);
    if (called < 0) {
        if (!sd_bus_error_has_name(&error.error, "org.freedesktop.DBus.Error.NameHasNoOwner"))
            failure = error.text(called);
        return "";
    }
    const char* owner = nullptr;
    std::string result;
    if (sd_bus_message_read(reply, "s", &owner) >= 0 && owner) result = owner;
    sd_bus_message_unref(reply);
    return result;
}

bool activatable(sd_bus* bus) {
    CallError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListActivatableNames", &error.error, &reply,
                           "") < 0)
        return false;
    bool found = false;
    if (sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
        const char* name = nullptr;
        while (!found && sd_bus_message_read(reply, "s", &name) > 0)
            found = std::strcmp(name, portal_name) == 0;
    }
    sd_bus_message_unref(reply);
    return found;
}

}  // namespace

PortalFacts check_portal(std::chrono::milliseconds limit) {
    PortalFacts facts;
    sd_bus* opened = nullptr;
    const int result = sd_bus_open_user(&opened);
    if (result < 0) {
        facts.status.reason = std::string("no session bus (") + std::strerror(-result) + ")";
        return facts;
    }
    const Bus bus(opened);
    sd_bus_set_method_call_timeout(
        bus.get(), std::chrono::duration_cast<std::chrono::microseconds>(limit).count());
    std::string failure;
    facts.owner = name_owner(bus.get(), failure);
    if (!failure.empty()) {
        facts.status.reason = "the session bus does not answer (" + failure + ")";
        return facts;
    }
    facts.status.checked = true;
    facts.activatable = facts.owner.empty() && activatable(bus.get());
    if (facts.owner.empty() && !facts.activatable) return facts;

    // Read from a portal that is only activatable, this starts it, as an app's call would;
    // a portal and its backends take seconds to start.
    if (facts.owner.empty())
        sd_bus_set_method_call_timeout(
            bus.get(),
            std::chrono::duration_cast<std::chrono::microseconds>(std::max(limit, start_limit))
                .count());
    CallError error;
    int present = 0;
    const int got = sd_bus_get_property_trivial(
        bus.get(), portal_name, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Camera",
        "IsCameraPresent", &error.error, 'b', &present);
    if (got < 0) {
        facts.camera_error = error.text(got);
        facts.camera_timed_out = got == -ETIMEDOUT;
        return facts;
    }
    facts.camera_interface = true;
    facts.camera_present = present != 0;
    return facts;
}

}  // namespace frix::doctor
