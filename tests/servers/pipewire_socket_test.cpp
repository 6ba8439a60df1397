// The PipeWire socket as root reaches it: links, owners and the peer are checked before a
// word is said, and a refusal is logged and retried like an absent PipeWire. The
// connection goes to a child (here a stand-in script), whose words pick only formats the
// node offers, and which is replaced when it loses PipeWire.
#include "servers/pipewire_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "servers/backed_memory.h"
#include "servers/outputs.h"
#include "servers/pipewire_output.h"
#include "tests/support/errno_of.h"
#include "tests/support/log_capture.h"

namespace frix::streaming {
namespace {

namespace fs = std::filesystem;

// A socket listening at path; -1 when it cannot be made.
int listen_at(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(fd, 4) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What connecting says: "" when it connects, else the refusal's line.
std::string refusal(const std::string& path, std::optional<uid_t> owner = std::nullopt) {
    try {
        ::close(connect_pipewire_socket(path, owner));
    } catch (const SocketRefused& refused) {
        return refused.what();
    }
    return "";
}

class PipewireSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/frix-pwsock.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        socket_ = dir_ + "/pipewire-0";
        listener_ = listen_at(socket_);
        ASSERT_GE(listener_, 0) << std::strerror(errno);
    }
    void TearDown() override {
        if (listener_ >= 0) ::close(listener_);
        fs::remove_all(dir_);
    }

    std::string dir_;
    std::string socket_;
    int listener_ = -1;
};

TEST_F(PipewireSocketTest, ARealSocketConnectsAndItsPeerIsKnown) {
    const int fd = connect_pipewire_socket(socket_, std::nullopt);
    ASSERT_GE(fd, 0);
    const PeerCredentials peer = peer_credentials(fd);
    EXPECT_EQ(peer.uid, ::getuid());
    EXPECT_EQ(peer.gid, ::getgid());
    EXPECT_EQ(peer.pid, ::getpid());
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "PipeWire expects a non-blocking socket";

    // The listener sees this process too: the connection is real.
    const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(peer_credentials(accepted).pid, ::getpid());
    ::close(accepted);
    ::close(fd);

    EXPECT_EQ(refusal(socket_, ::getuid()), "") << "the owner named is the socket's";
}

TEST_F(PipewireSocketTest, LinksOnTheWayAreRefused) {
    const std::string link = dir_ + "/pipewire-1";
    fs::create_symlink(socket_, link);
    EXPECT_EQ(refusal(link), "Refusing the PipeWire socket " + link + ": it is a symbolic link");

    // A link in a user's directory; in root's own, root made it.
    fs::create_directory_symlink(dir_, dir_ + "/up");
    if (::getuid() == 0) {
        EXPECT_EQ(refusal(dir_ + "/up/pipewire-0"), "");
        ASSERT_EQ(::chown(dir_.c_str(), 4242, 4242), 0);
    }
    EXPECT_EQ(refusal(dir_ + "/up/pipewire-0"), "Refusing the PipeWire socket " + dir_ +
                                                    "/up/pipewire-0: " + dir_ +
                                                    "/up is a symbolic link");
    // /tmp is root's but everyone's to write in.
    const std::string in_tmp = "/tmp/" + fs::path(dir_).filename().string() + ".link";
    fs::create_directory_symlink(dir_, in_tmp);
    EXPECT_EQ(refusal(in_tmp + "/pipewire-0"), "Refusing the PipeWire socket " + in_tmp +
                                                   "/pipewire-0: " + in_tmp +
                                                   " is a symbolic link");
    fs::remove(in_tmp);
}

TEST_F(PipewireSocketTest, OnlyASocketOfTheExpectedUserIsTalkedTo) {
    const std::string file = dir_ + "/plain";
    ASSERT_EQ(::close(::creat(file.c_str(), 0600)), 0);
    EXPECT_EQ(refusal(file), "Refusing the PipeWire socket " + file + ": it is not a socket");
    EXPECT_EQ(refusal(file + "/pipewire-0"), "Refusing the PipeWire socket " + file +
                                                 "/pipewire-0: " + file + " is not a directory");
    EXPECT_EQ(refusal("pipewire-0"),
              "Refusing the PipeWire socket pipewire-0: it is not an absolute path");

    const uid_t other = 4242;
    if (::getuid() == 0) {
        // Root's own directory, another user's socket.
        ASSERT_EQ(::chown(socket_.c_str(), other, other), 0);
        EXPECT_EQ(refusal(socket_), "Refusing the PipeWire socket " + socket_ +
                                        ": it belongs to user 4242, not user 0");
        // That user's directory, another user's socket.
        ASSERT_EQ(::chown(dir_.c_str(), 4343, 4343), 0);
        EXPECT_EQ(refusal(socket_), "Refusing the PipeWire socket " + socket_ +
                                        ": it belongs to user 4242, not user 4343");
        // The user's own socket, served by root: root is trusted.
        ASSERT_EQ(::chown(socket_.c_str(), 4343, 4343), 0);
        EXPECT_EQ(refusal(socket_), "");
        EXPECT_EQ(refusal(socket_, 4343), "");
        EXPECT_EQ(refusal(socket_, other),
                  "Refusing the PipeWire socket " + socket_ +
                      ": its directory belongs to user 4343, not user 4242");
    } else {
        EXPECT_EQ(refusal(socket_, other), "Refusing the PipeWire socket " + socket_ +
                                               ": its directory belongs to user " +
                                               std::to_string(::getuid()) + ", not user 4242");
    }
}

TEST_F(PipewireSocketTest, ASocketServedByAnotherUserIsRefused) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to serve as another user";
    // User 4242's directory and socket, with user 4343 listening behind it.
    const std::string dir = dir_ + "/user";
    ASSERT_EQ(::mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    ASSERT_EQ(::chown(dir.c_str(), 4242, 4242), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    const std::string path = dir + "/pipewire-0";
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        if (::setgid(4343) < 0 || ::setuid(4343) < 0 || listen_at(path) < 0) ::_exit(1);
        if (::write(ready[1], "y", 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool listening = ::read(ready[0], &byte, 1) == 1;  // 0: the child gave up
    ::close(ready[0]);
    if (listening) {
        ASSERT_EQ(::chown(path.c_str(), 4242, 4242), 0);
        EXPECT_EQ(refusal(path), "Refusing the PipeWire socket " + path +
                                     ": it is served by user 4343, not user 4242");
        EXPECT_EQ(refusal(path, 4242), "Refusing the PipeWire socket " + path +
                                           ": it is served by user 4343, not user 4242");
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(listening) << "the other user could not listen";
}

TEST_F(PipewireSocketTest, NothingListeningIsAnAbsentPipeWire) {
    EXPECT_EQ(test::errno_of([&] { connect_pipewire_socket(dir_ + "/pipewire-9", {}); }), ENOENT);
    EXPECT_EQ(test::errno_of([&] { connect_pipewire_socket(dir_ + "/none/pipewire-0", {}); }),
              ENOENT);
    ::close(listener_);
    listener_ = -1;
    EXPECT_EQ(test::errno_of([&] { connect_pipewire_socket(socket_, {}); }), ECONNREFUSED)
        << "a socket left behind by a PipeWire that is gone";
}

TEST_F(PipewireSocketTest, APathLongerThanAnAddressConnects) {
    std::string deep = dir_;
    while (deep.size() < 120) {
        deep += "/deeper";
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    }
    const std::string path = deep + "/pipewire-0";
    // Bound through a short relative name: the path does not fit in sun_path.
    const fs::path was = fs::current_path();
    fs::current_path(deep);
    const int listener = listen_at("pipewire-0");
    fs::current_path(was);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(refusal(path), "");
    ::close(listener);
}

TEST(PipewireSocketPathTest, ANameIsLookedForWherePipeWireLooks) {
    EXPECT_EQ(pipewire_socket_path("/run/pw/socket"), "/run/pw/socket");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    ::unsetenv("USERPROFILE");
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(pipewire_socket_path(""), "") << "no directory to look in";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_EQ(pipewire_socket_path(""), "/run/user/1000/pipewire-0");
    EXPECT_EQ(pipewire_socket_path("pipewire-0-manager"), "/run/user/1000/pipewire-0-manager");
    ::setenv("PIPEWIRE_REMOTE", "/run/pipewire/pipewire-0", 1);
    EXPECT_EQ(pipewire_socket_path(""), "/run/pipewire/pipewire-0");
    ::setenv("PIPEWIRE_RUNTIME_DIR", "/run/pw", 1);
    EXPECT_EQ(pipewire_socket_path("pipewire-1"), "/run/pw/pipewire-1");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("XDG_RUNTIME_DIR");
}

// A consumer's buffer: a memfd mapped for `pages`, of which `backed` have a file behind them.
TEST(PeerMemoryTest, MemoryShorterThanItsMappingIsRefusedBeforeAWrite) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const int fd = ::memfd_create("frix-test-buffer", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, page), 0);
    void* mapping = ::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(mapping);
    EXPECT_TRUE(writable_and_backed(bytes + 10, page - 10)) << "the page with a file behind it";
    EXPECT_FALSE(writable_and_backed(bytes, 3 * page)) << "a write there would be a SIGBUS";
    EXPECT_FALSE(writable_and_backed(bytes + page, 1));
    ASSERT_EQ(::ftruncate(fd, 3 * page), 0);
    EXPECT_TRUE(writable_and_backed(bytes, 3 * page));
    bytes[3 * page - 1] = 1;  // and indeed it takes a write
    EXPECT_FALSE(writable_and_backed(nullptr, 16));
    ::munmap(mapping, 3 * page);
    ::close(fd);
}

// The output of node video9, its child and its socket.
PipewireSettings settings_for(const std::string& program, const std::string& remote) {
    PipewireSettings settings;
    settings.program = program;
    settings.device_name = "video9";
    settings.remote = remote;
    return settings;
}

// A camera of one mode that only answers questions.
class DescribedCamera : public Camera {
public:
    void subscribe(FrameSubscriber*) override {}
    void want_frames(bool, const WantedFormat&) override {}
    int query(unsigned long request, void* argument) override {
        switch (request) {
            case VIDIOC_QUERYCAP:
                return 0;
            case VIDIOC_G_FMT: {
                auto* format = static_cast<v4l2_format*>(argument);
                format->fmt.pix.width = 640;
                format->fmt.pix.height = 480;
                format->fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* format = static_cast<v4l2_fmtdesc*>(argument);
                if (format->index != 0) return EINVAL;
                format->pixelformat = V4L2_PIX_FMT_YUYV;
                return 0;
            }
            default:
                return EINVAL;
        }
    }
};

TEST_F(PipewireSocketTest, TheOutputLogsARefusalAndTriesAgain) {
    const std::string link = dir_ + "/pipewire-link";
    fs::create_symlink(socket_, link);
    test::LogCapture log;
    DescribedCamera camera;
    Outputs outputs;
    PipewireOutput output(settings_for("/nonexistent/frix-pipewire", link), outputs, &camera);
    output.start();
    const std::string line =
        "<warning> [server] Refusing the PipeWire socket " + link + ": it is a symbolic link";
    EXPECT_TRUE(log.wait_for(line)) << log.text();
    // Another reason is said at the next try; the same one is not said again.
    fs::remove(link);
    EXPECT_TRUE(log.wait_for("No PipeWire at " + link + " (No such file or directory)"))
        << log.text();
    fs::create_symlink(socket_, link);
    EXPECT_TRUE(log.wait_for(line, 2)) << log.text();
    output.stop();
    EXPECT_FALSE(output.wants_frames());
    EXPECT_EQ(log.count(line), 2u) << log.text();
    // Nothing was said on the socket behind the link.
    pollfd waiting{listener_, POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 0), 0) << "someone connected through the link";
}

// The daemon's side of the PipeWire child, with a script in the child's place.
class PipewireChildTest : public PipewireSocketTest {
protected:
    // A stand-in for frix-pipewire: it notes its arguments, then runs body.
    std::string child(const std::string& body) {
        const std::string path = dir_ + "/frix-pipewire";
        std::ofstream script(path);
        script << "#!/bin/sh\necho \"$@\" >>" << dir_ << "/arguments\n" << body << "\n";
        script.close();
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string arguments() const {
        std::ifstream file(dir_ + "/arguments");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    static std::string fourcc(std::uint32_t code) { return std::to_string(code); }

    DescribedCamera camera_;
    Outputs outputs_;
};

TEST_F(PipewireChildTest, TheChildsWordsPickOnlyWhatTheNodeOffers) {
    test::LogCapture log;
    const std::string yuyv = fourcc(V4L2_PIX_FMT_YUYV), nv12 = fourcc(V4L2_PIX_FMT_NV12);
    // The one format the node offers first, then a size and a source it does not have.
    const std::string script =
        "echo ready >&6\n"
        "echo 'format 640 480 " +
        nv12 + " " + yuyv +
        "' >&6\n"
        "echo 'format 4000 4000 " +
        yuyv + " " + yuyv +
        "' >&6\n"
        "echo 'format 640 480 " +
        nv12 + " " + nv12 +
        "' >&6\n"
        "echo 'wanted 1' >&6\n"
        "echo 'log notice told' >&6\n"
        "cat >/dev/null";
    PipewireOutput output(settings_for(child(script), socket_), outputs_, &camera_);
    output.start();
    ASSERT_TRUE(log.wait_for("<notice> [server] Publishing video9 to PipeWire as frix.video9"))
        << log.text();
    ASSERT_TRUE(log.wait_for("<notice> [server] told")) << log.text();
    EXPECT_TRUE(output.wants_frames());
    // NV12 is made from the camera's YUYV: the camera is asked for YUYV, never for a
    // size or format it does not have because the child said so.
    const FrameFormat wanted = output.wanted_format();
    EXPECT_EQ(wanted.width, 640u);
    EXPECT_EQ(wanted.height, 480u);
    EXPECT_EQ(wanted.pixelformat, V4L2_PIX_FMT_YUYV);
    // A frame on its way to the child neither waits nor fails.
    std::vector<unsigned char> frame(640 * 480 * 2, 0x80);
    output.take_frame({frame.data(), frame.size(), 640, 480, V4L2_PIX_FMT_YUYV, 1280});

    const std::string said = arguments();
    EXPECT_NE(said.find("--device=video9"), std::string::npos) << said;
    EXPECT_NE(said.find("--mode=" + yuyv + ":640:480:"), std::string::npos) << said;
    EXPECT_NE(said.find("--mode=" + nv12 + ":640:480:"), std::string::npos) << said;
    // The socket is this test's: as root the child becomes the fallback user, never root.
    const std::string uid = ::geteuid() == 0 ? "65534" : std::to_string(::geteuid());
    EXPECT_NE(said.find("--uid=" + uid + " "), std::string::npos) << said;

    const pid_t pid = output.child();
    ASSERT_GT(pid, 0);
    output.stop();
    EXPECT_FALSE(output.wants_frames());
    EXPECT_EQ(::kill(pid, 0), -1) << "the child outlived the output";
    EXPECT_TRUE(log.contains("<notice> [server] PipeWire output stopped"));
}

TEST_F(PipewireChildTest, AChildThatLostPipewireIsReplaced) {
    test::LogCapture log;
    PipewireOutput output(
        settings_for(child("echo ready >&6\necho 'wanted 1' >&6\nexit 3"), socket_), outputs_,
        &camera_);
    output.start();
    EXPECT_TRUE(log.wait_for("<notice> [server] Lost PipeWire; reconnecting", 2)) << log.text();
    EXPECT_TRUE(log.wait_for("Publishing video9 to PipeWire as frix.video9 again")) << log.text();
    output.stop();
    EXPECT_FALSE(output.wants_frames());
}

TEST_F(PipewireChildTest, AChildThatFailsIsToldOfOnceAndTriedAgain) {
    test::LogCapture log;
    PipewireOutput output(
        settings_for(child("echo 'log error cannot become uid 7' >&6\nexit 1"), socket_), outputs_,
        &camera_);
    output.start();
    const std::string line =
        "<warning> [server] frix-pipewire ended (exit status 1: cannot become uid 7); "
        "starting it again";
    ASSERT_TRUE(log.wait_for(line)) << log.text();
    ASSERT_TRUE(log.wait_for("<error> [server] cannot become uid 7", 3)) << log.text();
    output.stop();
    EXPECT_EQ(log.count(line), 1u) << log.text();
    EXPECT_FALSE(log.contains("Publishing video9")) << log.text();
}

}  // namespace
}  // namespace frix::streaming
