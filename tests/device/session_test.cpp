// Session start and end: the driver's life, the streaming server, destruction while active.
#include "device/io_states.h"
#include "tests/device/device_fixture.h"

namespace frix::test {
namespace {

class Session : public DeviceTest {
protected:
    // A new device handed a recording server, wanted or not.
    std::shared_ptr<RecordingServer> start_with_server(bool wanted) {
        auto server = std::make_shared<RecordingServer>();
        DeviceOptions options;
        options.server = server;
        options.server_enabled = wanted;
        start(options);
        return server;
    }
};

TEST_F(Session, InitInitialisesTheDriverAndStartsTheServer) {
    const auto server = start_with_server(true);

    EXPECT_EQ(driver().init_calls(), 1);
    EXPECT_TRUE(in_state<Idle>());
    EXPECT_EQ(server->starts(), std::vector<std::string>{"video0"});
    EXPECT_EQ(server->stop_count(), 0);

    device().sys_destroy();
    EXPECT_EQ(server->stop_count(), 1);
    EXPECT_EQ(driver().destroy_calls(), 1);
    EXPECT_TRUE(device().terminated());
}

TEST_F(Session, AServerThatIsNotWantedIsNeitherStartedNorStopped) {
    const auto server = start_with_server(false);
    EXPECT_TRUE(server->starts().empty());
    device().sys_destroy();
    EXPECT_EQ(server->stop_count(), 1) << "a server handed in is stopped with the session";
}

TEST_F(Session, TheDeviceWorksWithoutAServerThatCannotBeLoaded) {
    DeviceOptions options;
    options.server_enabled = true;
    start(options);
    EXPECT_TRUE(log.contains("<warning> [core] Continuing without Streaming Server..."));

    TestClient reader = opened(7001);
    EXPECT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
}

TEST_F(Session, DestroyingTheSessionStopsCaptureBeforeTheDriverIsDestroyed) {
    TestClient reader = opened(7010);
    ASSERT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));

    device().sys_destroy();
    const std::vector<std::string> expected{"init", "init_transfer", "cancel_transfer", "destroy"};
    EXPECT_EQ(driver().calls(), expected);
    EXPECT_TRUE(device().terminated());
}

TEST_F(Session, DestroyingAnActiveDeviceObjectStopsCapture) {
    TestClient reader = opened(7020);
    ASSERT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
    device_.reset();
    EXPECT_EQ(driver().cancel_transfer_calls(), 1);
    EXPECT_EQ(driver().destroy_calls(), 0) << "only the session end destroys the driver";
}

TEST_F(Session, AStopThatFailsIsReportedAndLeavesNothingRunning) {
    TestClient reader = opened(7030);
    ASSERT_TRUE(is_driver_frame(reader.read(frame_size, 0).bytes));
    driver().fail_cancel_transfer(true);

    EXPECT_EQ(reader.close().error, 0);
    EXPECT_TRUE(log.contains("<error> [core] Driver error: could not cancel the transfer"));
    EXPECT_TRUE(log.contains("<error> [core] Error from the driver"));
    EXPECT_TRUE(in_state<Defective>()) << "a transfer that cannot be cancelled is a failure";

    driver().fail_cancel_transfer(false);
    TestClient again = opened(7031);
    EXPECT_TRUE(log.contains("Attempting to recover"));
    EXPECT_TRUE(is_driver_frame(again.read(frame_size, 0).bytes));
}

}  // namespace
}  // namespace frix::test
