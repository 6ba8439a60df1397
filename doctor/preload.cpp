// Finds libfrixext where the dynamic loader would take it from, and frix-run on PATH.
#include "doctor/preload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/process/args.hpp>
#include <boost/process/async.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <vector>

namespace frix::doctor {

namespace {

// The loader splits both lists at spaces and colons.
std::vector<std::string> entries_of(const std::string& list) {
    std::vector<std::string> entries;
    boost::split(entries, list, boost::is_any_of(": \t\n"), boost::token_compress_on);
    entries.erase(std::remove(entries.begin(), entries.end(), std::string()), entries.end());
    return entries;
}

// A bare name is looked up in the library path by the loader; a path must exist.
bool names_library(const std::string& entry) {
    const std::string name = std::filesystem::path(entry).filename().string();
    if (name.rfind("libfrixext", 0) != 0) return false;
    return entry.find('/') == std::string::npos || ::access(entry.c_str(), R_OK) == 0;
}

std::vector<std::string> libraries_in(const std::string& list) {
    std::vector<std::string> libraries;
    for (const std::string& entry : entries_of(list))
        if (names_library(entry)) libraries.push_back(entry);
    return libraries;
}

std::string find_program(const std::string& name, const std::string& search_path) {
    std::vector<std::string> folders;
    boost::split(folders, search_path, boost::is_any_of(":"));
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + name;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// frix-run finds its library next to itself: asking it is the only sure way.
std::string library_of(const std::string& frix_run) {
    namespace bp = boost::process;
    boost::asio::io_context context;
    std::future<std::string> output;
    std::error_code error;
    bp::child child(bp::exe = frix_run, bp::args = {"printenv", "LD_PRELOAD"},
                    bp::std_in<bp::null, bp::std_out> output, bp::std_err > bp::null, context,
                    error);
    if (error) return "";
    context.run_for(std::chrono::seconds(1));
    if (output.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        child.terminate(error);
        return "";
    }
    child.wait(error);
    const std::vector<std::string> entries = entries_of(output.get());
    return entries.empty() ? "" : entries.front();
}

}  // namespace

PreloadFacts preload_facts(const std::optional<std::string>& environment,
                           const std::string& system_file, const std::string& search_path) {
    PreloadFacts facts;
    facts.environment_set = environment.has_value();
    if (environment) {
        facts.environment = *environment;
        facts.environment_libraries = libraries_in(*environment);
    }
    facts.system_file = system_file;
    std::ifstream file(system_file);
    facts.system_file_exists = file.is_open();
    if (file) {
        std::ostringstream text;
        text << file.rdbuf();
        facts.system_libraries = libraries_in(text.str());
    }
    facts.frix_run = find_program("frix-run", search_path);
    if (!facts.frix_run.empty()) facts.frix_run_library = library_of(facts.frix_run);
    return facts;
}

PreloadFacts preload_facts() {
    const char* environment = std::getenv("LD_PRELOAD");
    const char* search_path = std::getenv("PATH");
    return preload_facts(environment ? std::optional<std::string>(environment) : std::nullopt,
                         "/etc/ld.so.preload", search_path ? search_path : "/usr/bin:/bin");
}

}  // namespace frix::doctor
