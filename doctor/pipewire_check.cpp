// Asks the user's PipeWire for its nodes; libpipewire-0.3 is loaded only when present, so
// frix runs on machines without it.
#include "doctor/pipewire_check.h"

#include <dlfcn.h>
#include <pipewire/pipewire.h>
#include <spa/utils/dict.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace frix::doctor {

namespace {

// The library's functions this check calls; the rest of its API is inline.
struct Library {
    void* handle = nullptr;
    decltype(&pw_init) init = nullptr;
    decltype(&pw_log_set_level) set_log_level = nullptr;
    decltype(&pw_loop_new) loop_new = nullptr;
    decltype(&pw_loop_destroy) loop_destroy = nullptr;
    decltype(&pw_context_new) context_new = nullptr;
    decltype(&pw_context_destroy) context_destroy = nullptr;
    decltype(&pw_context_connect_fd) connect_fd = nullptr;
    decltype(&pw_core_disconnect) disconnect = nullptr;
    decltype(&pw_proxy_destroy) proxy_destroy = nullptr;

    template <typename Function>
    bool bind(Function& function, const char* name) {
        function = reinterpret_cast<Function>(::dlsym(handle, name));
        return function != nullptr;
    }
    bool load(std::string& reason) {
        handle = ::dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            reason = "libpipewire-0.3 is not installed";
            return false;
        }
        if (!(bind(init, "pw_init") && bind(set_log_level, "pw_log_set_level") &&
              bind(loop_new, "pw_loop_new") && bind(loop_destroy, "pw_loop_destroy") &&
              bind(context_new, "pw_context_new") && bind(context_destroy, "pw_context_destroy") &&
              bind(connect_fd, "pw_context_connect_fd") && bind(disconnect, "pw_core_disconnect") &&
              bind(proxy_destroy, "pw_proxy_destroy"))) {
            reason = std::string("libpipewire-0.3 lacks ") + ::dlerror();
            return false;
        }
        return true;
    }
};

struct Session {
    PipewireFacts* facts = nullptr;
    int sync_seq = -1;
    bool done = false;
};

const char* lookup(const spa_dict* props, const char* key) {
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? value : "";
}

void on_global(void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto& session = *static_cast<Session*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const std::string name = lookup(props, PW_KEY_NODE_NAME);
    if (name.rfind("frix.", 0) != 0 ||
        std::strcmp(lookup(props, PW_KEY_MEDIA_CLASS), "Video/Source") != 0)
        return;
    session.facts->frix_nodes.push_back(
        {name, lookup(props, "api.v4l2.path"), lookup(props, PW_KEY_NODE_DESCRIPTION)});
}

void on_done(void* data, uint32_t id, int seq) {
    auto& session = *static_cast<Session*>(data);
    if (id == PW_ID_CORE && seq == session.sync_seq) session.done = true;
}

void on_error(void* data, uint32_t id, int, int res, const char* message) {
    auto& session = *static_cast<Session*>(data);
    if (id != PW_ID_CORE) return;
    session.facts->error = std::string(message ? message : "") + " (" + std::strerror(-res) + ")";
    session.done = true;
}

int connect_socket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void list_nodes(const Library& pw, pw_loop* loop, pw_core* core, Session& session,
                std::chrono::milliseconds limit) {
    pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (!registry) {
        session.facts->error = std::string("no registry: ") + std::strerror(errno);
        return;
    }
    pw_registry_events registry_events{};
    registry_events.version = PW_VERSION_REGISTRY_EVENTS;
    registry_events.global = on_global;
    pw_core_events core_events{};
    core_events.version = PW_VERSION_CORE_EVENTS;
    core_events.done = on_done;
    core_events.error = on_error;
    spa_hook registry_hook{}, core_hook{};
    pw_registry_add_listener(registry, &registry_hook, &registry_events, &session);
    pw_core_add_listener(core, &core_hook, &core_events, &session);
    session.sync_seq = pw_core_sync(core, PW_ID_CORE, 0);

    const auto deadline = std::chrono::steady_clock::now() + limit;
    pw_loop_enter(loop);
    while (!session.done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (pw_loop_iterate(loop, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    }
    pw_loop_leave(loop);
    if (!session.done && session.facts->error.empty())
        session.facts->error = "no answer within " + std::to_string(limit.count()) + " ms";
    spa_hook_remove(&core_hook);
    spa_hook_remove(&registry_hook);
    pw.proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
}

}  // namespace

std::string pipewire_socket_path() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const std::string name = remote && *remote ? remote : "pipewire-0";
    if (name.front() == '/') return name;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder =
        runtime && *runtime ? runtime : "/run/user/" + std::to_string(::getuid());
    return folder + "/" + name;
}

PipewireFacts check_pipewire(const std::string& socket, std::chrono::milliseconds limit) {
    PipewireFacts facts;
    facts.remote = socket;
    Library pw;
    if (!pw.load(facts.status.reason)) return facts;
    facts.status.checked = true;

    const int fd = connect_socket(socket);
    if (fd < 0) {
        facts.error = std::strerror(errno);
        return facts;
    }
    pw.init(nullptr, nullptr);
    // Its own warnings would only repeat what the report says.
    pw.set_log_level(SPA_LOG_LEVEL_NONE);
    pw_loop* loop = pw.loop_new(nullptr);
    pw_context* context = loop ? pw.context_new(loop, nullptr, 0) : nullptr;
    pw_core* core = context ? pw.connect_fd(context, fd, nullptr, 0) : nullptr;
    if (!core) {
        facts.error = std::string("cannot talk to it: ") + std::strerror(errno);
        if (!context) ::close(fd);
    } else {
        facts.connected = true;
        Session session;
        session.facts = &facts;
        list_nodes(pw, loop, core, session, limit);
        pw.disconnect(core);
    }
    if (context) pw.context_destroy(context);
    if (loop) pw.loop_destroy(loop);
    return facts;
}

}  // namespace frix::doctor
