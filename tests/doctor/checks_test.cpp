// The PipeWire and bus checks end within their limit and say why when nothing answers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "doctor/pipewire_check.h"
#include "doctor/portal_check.h"

namespace frix::doctor {
namespace {

using namespace std::chrono_literals;

// A socket that accepts connections into its backlog and never says a word.
struct SilentSocket {
    std::string path;
    int fd = -1;
    SilentSocket() {
        char name[] = "/tmp/doctor_pw.XXXXXX";
        path = std::string(::mkdtemp(name)) + "/pipewire-0";
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0)
            ADD_FAILURE() << "cannot listen at " << path << ": " << std::strerror(errno);
    }
    ~SilentSocket() {
        ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(path.substr(0, path.rfind('/')).c_str());
    }
};

TEST(PipewireCheck, AbsentAndSilentPipewire) {
    PipewireFacts facts = check_pipewire("/nonexistent/pipewire-0", 200ms);
    if (!facts.status.checked) GTEST_SKIP() << facts.status.reason;
    EXPECT_EQ(facts.remote, "/nonexistent/pipewire-0");
    EXPECT_FALSE(facts.connected);
    EXPECT_EQ(facts.error, "No such file or directory");

    SilentSocket silent;
    facts = check_pipewire(silent.path, 200ms);
    EXPECT_TRUE(facts.connected);
    EXPECT_EQ(facts.error, "no answer within 200 ms");
    EXPECT_TRUE(facts.frix_nodes.empty());
}

TEST(PipewireCheck, SocketFollowsTheSessionVariables) {
    ::setenv("PIPEWIRE_REMOTE", "/run/elsewhere", 1);
    EXPECT_EQ(pipewire_socket_path(), "/run/elsewhere");
    ::setenv("PIPEWIRE_REMOTE", "pipewire-1", 1);
    ::setenv("XDG_RUNTIME_DIR", "/run/user/77", 1);
    EXPECT_EQ(pipewire_socket_path(), "/run/user/77/pipewire-1");
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(pipewire_socket_path(), "/run/user/" + std::to_string(::getuid()) + "/pipewire-0");
}

TEST(PortalCheck, NoSessionBusIsNotChecked) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    const PortalFacts facts = check_portal(200ms);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_FALSE(facts.status.checked);
    EXPECT_EQ(facts.status.reason, "no session bus (No such file or directory)");
}

}  // namespace
}  // namespace frix::doctor
