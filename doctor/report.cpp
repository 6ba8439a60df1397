// Turns the findings into the verdict, the next steps and the text the user reads.
#include "doctor/report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace frix::doctor {

namespace {

constexpr const char* pipewire_apps = "for PipeWire and Flatpak apps: ";

bool has(const std::vector<gid_t>& groups, gid_t gid) {
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string errno_text(int error) {
    const char* name = strerrorname_np(error);
    return std::string(std::strerror(error)) + " (" + (name ? name : std::to_string(error)) + ")";
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The step that lets the caller open a file of the given access.
std::string access_step(const Caller& caller, const FileAccess& access, int error,
                        const std::string& what) {
    if (error != EACCES && error != EPERM)
        return "ask an administrator to look at frix's log: " + what + " refuses to open (" +
               errno_text(error) + ")";
    if (has(caller.session_groups, access.gid))
        return "ask an administrator to give group " + access.group + " read and write access to " +
               what + " (frix --device-mode 0660)";
    if (has(caller.listed_groups, access.gid))
        return "log in again: you were added to group " + access.group + " after this login began";
    return "ask an administrator to add you to group " + access.group + ", then log in again";
}

bool gets_library(const PreloadFacts& preload) {
    return !preload.environment_libraries.empty() || !preload.system_libraries.empty();
}

const PublishedNode* published(const Findings& findings) {
    const std::string name =
        "frix." + std::filesystem::path(findings.node.path).filename().string();
    for (const PublishedNode& node : findings.pipewire.frix_nodes)
        if (node.device_path == findings.node.path || node.name == name) return &node;
    return nullptr;
}

bool portal_offers_camera(const PortalFacts& portal) {
    return portal.status.checked && (!portal.owner.empty() || portal.activatable) &&
           portal.camera_interface;
}

void add_step(Verdict& verdict, const std::string& step) {
    if (std::find(verdict.next_steps.begin(), verdict.next_steps.end(), step) ==
        verdict.next_steps.end())
        verdict.next_steps.push_back(step);
}

void judge_v4l2(const Findings& findings, Verdict& verdict) {
    const NodeFacts& node = findings.node;
    if (node.open_error != 0)
        add_step(verdict, access_step(findings.caller, node.access, node.open_error, node.path));
    if (!node.segment_exists && !node.segment_follows_caller)
        add_step(verdict, access_step(findings.caller, node.access, EACCES, node.segment_path));
    else if (node.segment_exists && node.segment_open_error != 0)
        add_step(verdict, access_step(findings.caller, node.segment_access, node.segment_open_error,
                                      node.segment_path));
    const PreloadFacts& preload = findings.preload;
    if (!gets_library(preload)) {
        if (preload.frix_run.empty())
            add_step(verdict,
                     "install frix's frix-run and libfrixext.so, then start the app with frix-run");
        else if (preload.frix_run_library.empty())
            add_step(verdict, "reinstall frix: " + preload.frix_run + " finds no libfrixext.so");
        else
            add_step(verdict, "start the app with frix-run");
    }
    const bool maps =
        node.segment_exists ? node.segment_open_error == 0 : node.segment_follows_caller;
    verdict.v4l2_apps = node.open_error == 0 && maps && gets_library(preload);
}

void judge_pipewire(const Findings& findings, Verdict& verdict) {
    const PipewireFacts& pipewire = findings.pipewire;
    const bool in_pipewire = published(findings) != nullptr;
    if (pipewire.status.checked && !pipewire.connected)
        add_step(verdict, std::string(pipewire_apps) +
                              "start PipeWire in your session (systemctl --user start pipewire)");
    else if (pipewire.status.checked && !in_pipewire)
        add_step(verdict, std::string(pipewire_apps) +
                              "ask an administrator to publish the camera to your PipeWire "
                              "(frix --enable-server=required --server-option=--pipewire "
                              "--server-option=--pipewire-user=" +
                              findings.caller.name + ")");
    const PortalFacts& portal = findings.portal;
    if (portal.status.checked && portal.owner.empty() && !portal.activatable)
        add_step(verdict,
                 std::string(pipewire_apps) +
                     "install xdg-desktop-portal with a GNOME or KDE backend, and log in again");
    else if (portal.status.checked && portal.camera_timed_out)
        add_step(verdict, std::string(pipewire_apps) +
                              "the portal did not answer in time: run frix doctor again");
    else if (portal.status.checked && !portal.camera_interface)
        add_step(verdict, std::string(pipewire_apps) +
                              "install your desktop's portal backend (xdg-desktop-portal-gnome or "
                              "-kde): the portal offers cameras only with a backend's "
                              "access dialog");
    verdict.pipewire_apps = in_pipewire && portal_offers_camera(portal);
}

void render_access(std::ostream& out, const FileAccess& access) {
    out << "  owner " << access.owner << ", group " << access.group << ", mode "
        << octal(access.mode) << "\n  access list: ";
    if (!access.acl_error.empty())
        out << "unreadable (" << access.acl_error << ")";
    else if (access.acl.empty())
        out << "none";
    for (std::size_t i = 0; i < access.acl.size(); ++i) out << (i ? ", " : "") << access.acl[i];
    out << "\n";
}

void render_open(std::ostream& out, const Caller& caller, int error) {
    out << "  open read-write as " << caller.name << ": "
        << (error == 0 ? std::string("yes") : "refused, " + errno_text(error)) << "\n";
}

void render_node(std::ostream& out, const Findings& findings) {
    const NodeFacts& node = findings.node;
    out << "Node " << node.path << "\n";
    render_access(out, node.access);
    render_open(out, findings.caller, node.open_error);
    out << "Mapping segment " << node.segment_path << "\n";
    if (!node.segment_exists) {
        out << "  not made yet (frix makes it at the first capture); the node's group or access "
               "list "
            << (node.segment_follows_caller ? "will let " : "will not let ") << findings.caller.name
            << " in\n";
        return;
    }
    render_access(out, node.segment_access);
    render_open(out, findings.caller, node.segment_open_error);
}

void render_preload(std::ostream& out, const PreloadFacts& preload) {
    out << "Preload library (libfrixext)\n  LD_PRELOAD: ";
    if (!preload.environment_set)
        out << "not set";
    else
        out << "\"" << preload.environment << "\", "
            << (preload.environment_libraries.empty()
                    ? "no libfrixext in it"
                    : "gives " + preload.environment_libraries.front());
    out << "\n  " << preload.system_file << ": ";
    if (!preload.system_file_exists)
        out << "absent";
    else
        out << (preload.system_libraries.empty()
                    ? "no libfrixext in it"
                    : "gives every program " + preload.system_libraries.front());
    out << "\n  frix-run: ";
    if (preload.frix_run.empty())
        out << "not on PATH";
    else
        out << preload.frix_run << ", preloads "
            << (preload.frix_run_library.empty() ? "nothing it could find"
                                                 : preload.frix_run_library);
    out << "\n";
}

void render_pipewire(std::ostream& out, const Findings& findings) {
    const PipewireFacts& pipewire = findings.pipewire;
    out << "PipeWire (" << pipewire.remote << ")\n  ";
    if (!pipewire.status.checked) {
        out << "not checked: " << pipewire.status.reason << "\n";
        return;
    }
    if (!pipewire.connected) {
        out << "no PipeWire answers there: " << pipewire.error << "\n";
        return;
    }
    if (const PublishedNode* node = published(findings))
        out << "published for " << findings.caller.name << " as " << node->name << " (\""
            << node->description << "\", Video/Source)";
    else
        out << "no frix node for " << findings.node.path << " in " << findings.caller.name
            << "'s PipeWire";
    if (!pipewire.error.empty()) out << "; the registry did not finish: " << pipewire.error;
    out << "\n";
}

void render_portal(std::ostream& out, const PortalFacts& portal) {
    out << "Portal (org.freedesktop.portal.Desktop on the session bus)\n  ";
    if (!portal.status.checked) {
        out << "not checked: " << portal.status.reason << "\n";
        return;
    }
    if (!portal.owner.empty())
        out << "running as " << portal.owner;
    else if (portal.activatable)
        out << "not running, started on demand";
    else {
        out << "neither running nor installed\n";
        return;
    }
    out << "\n  Camera interface: ";
    if (portal.camera_interface)
        out << "yes, IsCameraPresent " << (portal.camera_present ? "true" : "false");
    else
        out << "no (" << portal.camera_error << ")";
    out << "\n";
}

}  // namespace

Verdict judge(const Findings& findings) {
    Verdict verdict;
    judge_v4l2(findings, verdict);
    judge_pipewire(findings, verdict);
    return verdict;
}

std::string render(const Findings& findings, const Verdict& verdict) {
    std::ostringstream out;
    render_node(out, findings);
    render_preload(out, findings.preload);
    render_pipewire(out, findings);
    render_portal(out, findings.portal);
    out << "\nV4L2 apps of " << findings.caller.name << ": "
        << (verdict.v4l2_apps ? "can stream" : "cannot stream") << "\nPipeWire apps of "
        << findings.caller.name << ": " << (verdict.pipewire_apps ? "can stream" : "cannot stream")
        << "\n";
    if (!verdict.next_steps.empty()) out << "Next steps:\n";
    for (std::size_t i = 0; i < verdict.next_steps.size(); ++i)
        out << "  " << i + 1 << ". " << verdict.next_steps[i] << "\n";
    return out.str();
}

}  // namespace frix::doctor
