// Log lines on the console, with and without colour, the console filter, and the syslog
// datagrams a UDP server receives.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "subprocess.h"

namespace frix {
namespace {

using testing::ElementsAreArray;
using testing::EndsWith;
using testing::StartsWith;

test::ProgramResult probe(int level, bool colour, const std::string& host = "-", int port = 514,
                          const std::string& plugin = "") {
    std::vector<std::string> arguments{std::to_string(level), colour ? "1" : "0", host,
                                       std::to_string(port)};
    if (!plugin.empty()) arguments.push_back(plugin);
    test::ProgramResult result = test::run_program(LOG_PROBE, arguments);
    EXPECT_FALSE(result.timed_out);
    return result;
}

// What the probe logs, in order, as the plain formatter writes it; the record without a
// severity is left out (the console never shows it).
const std::vector<std::string> all_lines{
    "<none> [core] core -1",           "<emergency> [core] core 0",
    "<alert> [core] core 1",           "<critical> [core] core 2",
    "<error> [core] core 3",           "<warning> [core] core 4",
    "<notice> [core] core 5",          "<info> [core] core 6",
    "<debug> [core] core 7",           "<9> [core] core 9",
    "<notice> [driver] from a driver", "<error> [server] from the server",
    "<info> [core] default severity",  "<warning> no channel"};
const std::vector<int> all_values{-1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 5, 3, 6, 4};

std::string console_up_to(int level) {
    std::string text;
    for (std::size_t i = 0; i < all_lines.size(); ++i)
        if (all_values[i] <= level) text += all_lines[i] + "\n";
    return text;
}

TEST(Console, ShowsRecordsUpToTheLevel) {
    EXPECT_EQ(probe(7, false).err, console_up_to(7));
    EXPECT_EQ(probe(3, false).err,
              "<none> [core] core -1\n<emergency> [core] core 0\n<alert> [core] core 1\n"
              "<critical> [core] core 2\n<error> [core] core 3\n"
              "<error> [server] from the server\n");
    EXPECT_EQ(probe(0, false).err, "<none> [core] core -1\n<emergency> [core] core 0\n");
}

TEST(Console, AValueOutsideTheTableIsPrintedAsANumber) {
    EXPECT_EQ(probe(9, false).err, console_up_to(9));
}

TEST(Console, MinusOneSwitchesLoggingOffAndLessShowsNothing) {
    EXPECT_EQ(probe(-1, false).err, "");
    EXPECT_EQ(probe(-2, false).err, "");
    EXPECT_EQ(probe(-1, false).status, 0);
}

TEST(Console, ColoursBySeverity) {
    EXPECT_EQ(probe(9, true).err,
              "<none> [core] core -1\033[0m\n"
              "\033[35m<emergency> [core] core 0\033[0m\n"
              "\033[35m<alert> [core] core 1\033[0m\n"
              "\033[31m<critical> [core] core 2\033[0m\n"
              "\033[31m<error> [core] core 3\033[0m\n"
              "\033[33m<warning> [core] core 4\033[0m\n"
              "\033[39m<notice> [core] core 5\033[0m\n"
              "\033[37m<info> [core] core 6\033[0m\n"
              "\033[90m<debug> [core] core 7\033[0m\n"
              "<9> [core] core 9\033[0m\n"
              "\033[39m<notice> [driver] from a driver\033[0m\n"
              "\033[31m<error> [server] from the server\033[0m\n"
              "\033[37m<info> [core] default severity\033[0m\n"
              "\033[33m<warning> no channel\033[0m\n");
}

TEST(Console, APluginReachesTheSameDriverLogger) {
    const test::ProgramResult shown = probe(4, false, "-", 514, LOG_PLUGIN);
    EXPECT_EQ(shown.status, 0);
    EXPECT_THAT(shown.err, EndsWith("\n<warning> [driver] from a plug-in\n"));
    const test::ProgramResult filtered = probe(3, false, "-", 514, LOG_PLUGIN);
    EXPECT_EQ(filtered.status, 0);
    EXPECT_EQ(filtered.err, console_up_to(3));
}

// A syslog server on the loopback interface.
class SyslogServer : public testing::Test {
protected:
    void SetUp() override {
        socket_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(socket_, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin_port);
    }
    void TearDown() override { close(socket_); }

    // The probe has ended when this runs, so everything it sent is queued already; the
    // wait only covers delivery.
    std::vector<std::string> receive(std::size_t expected) {
        std::vector<std::string> datagrams;
        while (datagrams.size() < expected) {
            pollfd ready{socket_, POLLIN, 0};
            if (poll(&ready, 1, 5000) != 1) break;
            datagrams.push_back(next());
        }
        return datagrams;
    }
    bool nothing_queued() {
        pollfd ready{socket_, POLLIN, 0};
        return poll(&ready, 1, 0) == 0;
    }

    int port = 0;

private:
    std::string next() {
        char buffer[2048];
        const ssize_t size = recv(socket_, buffer, sizeof buffer, 0);
        return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : std::string();
    }
    int socket_ = -1;
};

TEST_F(SyslogServer, ReceivesEveryRecordWhateverTheVerbosity) {
    const test::ProgramResult result = probe(3, false, "127.0.0.1", port);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, console_up_to(3));

    // Facility user (8) plus the level; records outside the levels go as info.
    std::vector<std::string> messages = all_lines;
    messages.insert(messages.begin() + 13, "no severity");
    const std::vector<int> priorities{14, 8, 9, 10, 11, 12, 13, 14, 15, 14, 13, 11, 14, 14, 12};
    const std::vector<std::string> datagrams = receive(messages.size());
    ASSERT_EQ(datagrams.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_THAT(datagrams[i], StartsWith("<" + std::to_string(priorities[i]) + ">"));
        EXPECT_THAT(datagrams[i], EndsWith(" " + messages[i]));
    }
    EXPECT_TRUE(nothing_queued());
}

TEST_F(SyslogServer, NeverGetsColours) {
    probe(7, true, "127.0.0.1", port);
    const std::vector<std::string> datagrams = receive(15);
    ASSERT_EQ(datagrams.size(), 15U);
    EXPECT_THAT(datagrams[5], EndsWith(" <warning> [core] core 4"));
    for (const std::string& datagram : datagrams)
        EXPECT_EQ(datagram.find('\033'), std::string::npos) << datagram;
}

TEST_F(SyslogServer, GetsNothingWhenLoggingIsOff) {
    const test::ProgramResult result = probe(-1, false, "127.0.0.1", port);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(nothing_queued());
}

TEST_F(SyslogServer, StillGetsEverythingWhenTheConsoleShowsNothing) {
    const test::ProgramResult result = probe(-2, false, "127.0.0.1", port);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(receive(15).size(), 15U);
}

TEST(Syslog, AnUnresolvableHostFailsAfterTheConsoleIsReady) {
    const test::ProgramResult result = probe(7, false, "frix-no-such-host.invalid", 514);
    EXPECT_EQ(result.status, 3);
    EXPECT_THAT(result.err, StartsWith("<alert> [core] init_log: "));
}

}  // namespace
}  // namespace frix
