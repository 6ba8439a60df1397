// The daemon's side of the driver and server registries: lookup, creation and help.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frix/registration.h"

namespace frix {

// Name → (factory, help), ordered byte-wise. Not locked: everything happens on the
// start-up thread, inside dlopen/dlclose and the loader.
template <typename Object>
class __attribute__((visibility("hidden"))) Registry {
public:
    using Factory = std::function<std::shared_ptr<Object>(std::vector<std::string>)>;

    // A second registration under the same name replaces the first.
    void add(const std::string& name, const Factory& factory, const HelpFunction& help) {
        entries_[name] = Entry(factory, help);
    }

    void remove(const std::string& name) { entries_.erase(name); }

    bool contains(const std::string& name) const { return entries_.count(name) != 0; }

    std::vector<std::string> names() const {
        std::vector<std::string> result;
        result.reserve(entries_.size());
        for (const auto& entry : entries_) result.push_back(entry.first);
        return result;
    }

    // std::out_of_range ("map::at") for an unknown name, before any factory runs;
    // whatever the factory throws passes through.
    std::shared_ptr<Object> create(const std::string& name,
                                   const std::vector<std::string>& options) const {
        // A copy, so a factory that (de)registers names cannot pull its own code away.
        const Factory factory = entries_.at(name).first;
        return factory(options);
    }

    // std::out_of_range for an unknown name, std::bad_function_call for an empty help.
    void help(const std::string& name) const {
        const HelpFunction function = entries_.at(name).second;
        function();
    }

private:
    using Entry = std::pair<Factory, HelpFunction>;
    std::map<std::string, Entry> entries_;
};

// Never destroyed: plug-ins still loaded at exit deregister from their static
// destructors, which may run after every static of the daemon is gone.
__attribute__((visibility("hidden"))) Registry<Driver>& driver_registry();
__attribute__((visibility("hidden"))) Registry<Server>& server_registry();

// The registered driver names in byte order (what --list-drivers prints).
__attribute__((visibility("hidden"))) std::vector<std::string> driver_names();

}  // namespace frix
