// The verdict, the next steps and the screen, from given facts.
#include "doctor/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace frix::doctor {
namespace {

constexpr gid_t video = 44;

// A member of video whose programs get the library; no PipeWire, no portal.
Findings streaming_member() {
    Findings findings;
    findings.caller = {1001, "bob", {1001, video}, {1001, video}};
    findings.node.path = "/dev/video0";
    findings.node.access = {"root", "video", video, 0660, {}, ""};
    findings.node.segment_path = "/dev/shm/frix_240_0i";
    findings.node.segment_exists = true;
    findings.node.segment_access = findings.node.access;
    findings.preload.environment_set = true;
    findings.preload.environment = "/usr/lib/libfrixext.so";
    findings.preload.environment_libraries = {"/usr/lib/libfrixext.so"};
    findings.preload.system_file = "/etc/ld.so.preload";
    findings.preload.frix_run = "/usr/bin/frix-run";
    findings.preload.frix_run_library = "/usr/lib/libfrixext.so";
    findings.pipewire.status.reason = "libpipewire-0.3 is not installed";
    findings.pipewire.remote = "/run/user/1001/pipewire-0";
    findings.portal.status.reason = "no session bus (No such file or directory)";
    return findings;
}

TEST(DoctorVerdict, MemberWithLibraryStreamsThroughTheNode) {
    const Findings findings = streaming_member();
    const Verdict verdict = judge(findings);
    EXPECT_TRUE(verdict.v4l2_apps);
    EXPECT_FALSE(verdict.pipewire_apps);
    EXPECT_TRUE(verdict.can_stream());
    EXPECT_TRUE(verdict.next_steps.empty());
    const std::string screen = render(findings, verdict);
    EXPECT_NE(screen.find("V4L2 apps of bob: can stream"), std::string::npos) << screen;
    EXPECT_NE(screen.find("  not checked: libpipewire-0.3 is not installed"), std::string::npos);
    EXPECT_NE(screen.find("  not checked: no session bus"), std::string::npos);
    EXPECT_EQ(screen.find("Next steps"), std::string::npos);
}

TEST(DoctorVerdict, OutsiderIsToldToJoinTheGroupOnce) {
    Findings findings = streaming_member();
    findings.caller.listed_groups = findings.caller.session_groups = {1001};
    findings.node.open_error = EACCES;
    findings.node.segment_open_error = EACCES;
    const Verdict verdict = judge(findings);
    EXPECT_FALSE(verdict.can_stream());
    EXPECT_EQ(verdict.next_steps,
              std::vector<std::string>{
                  "ask an administrator to add you to group video, then log in again"});
    const std::string screen = render(findings, verdict);
    EXPECT_NE(screen.find("open read-write as bob: refused, Permission denied (EACCES)"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("  1. ask an administrator to add you to group video"),
              std::string::npos);
}

TEST(DoctorVerdict, GroupGivenAfterLoginAsksForANewLogin) {
    Findings findings = streaming_member();
    findings.caller.session_groups = {1001};
    findings.node.open_error = EACCES;
    EXPECT_EQ(judge(findings).next_steps.front(),
              "log in again: you were added to group video after this login began");
}

TEST(DoctorVerdict, ModeOnlyAccessStillNeedsTheSegmentsGroup) {
    Findings findings = streaming_member();
    findings.caller.listed_groups = findings.caller.session_groups = {1001};
    findings.node.access.mode = 0666;
    findings.node.segment_open_error = EACCES;
    const Verdict verdict = judge(findings);
    EXPECT_FALSE(verdict.v4l2_apps);
    EXPECT_EQ(verdict.next_steps,
              std::vector<std::string>{
                  "ask an administrator to add you to group video, then log in again"});
}

TEST(DoctorVerdict, WithoutTheLibraryTheStepNamesFrixRun) {
    Findings findings = streaming_member();
    findings.preload.environment_set = false;
    findings.preload.environment_libraries.clear();
    Verdict verdict = judge(findings);
    EXPECT_FALSE(verdict.can_stream());
    EXPECT_EQ(verdict.next_steps, std::vector<std::string>{"start the app with frix-run"});

    findings.preload.system_file_exists = true;
    findings.preload.system_libraries = {"/usr/lib/libfrixext.so"};
    verdict = judge(findings);
    EXPECT_TRUE(verdict.v4l2_apps);
    EXPECT_NE(render(findings, verdict)
                  .find("/etc/ld.so.preload: gives every program /usr/lib/libfrixext.so"),
              std::string::npos);

    findings.preload.system_libraries.clear();
    findings.preload.frix_run.clear();
    EXPECT_EQ(judge(findings).next_steps.front(),
              "install frix's frix-run and libfrixext.so, then start the app with frix-run");
}

TEST(DoctorVerdict, PipewireRouteNeedsThePublishedNodeAndTheCameraPortal) {
    Findings findings = streaming_member();
    findings.node.open_error = EACCES;
    findings.pipewire.status = {true, ""};
    findings.pipewire.connected = true;
    findings.portal.status = {true, ""};
    findings.portal.owner = ":1.7";
    findings.portal.camera_interface = true;
    Verdict verdict = judge(findings);
    EXPECT_FALSE(verdict.pipewire_apps);
    EXPECT_NE(
        std::find(verdict.next_steps.begin(), verdict.next_steps.end(),
                  "for PipeWire and Flatpak apps: ask an administrator to publish the camera to "
                  "your PipeWire (frix --enable-server=required --server-option=--pipewire "
                  "--server-option=--pipewire-user=bob)"),
        verdict.next_steps.end());

    findings.pipewire.frix_nodes = {{"frix.video1", "/dev/video1", "other"},
                                    {"frix.video0", "/dev/video0", "Pattern"}};
    verdict = judge(findings);
    EXPECT_TRUE(verdict.pipewire_apps);
    EXPECT_TRUE(verdict.can_stream());
    EXPECT_NE(render(findings, verdict)
                  .find("published for bob as frix.video0 (\"Pattern\", Video/Source)"),
              std::string::npos);

    findings.portal.camera_interface = false;
    findings.portal.camera_error = "No such interface";
    verdict = judge(findings);
    EXPECT_FALSE(verdict.can_stream());
    EXPECT_NE(render(findings, verdict).find("Camera interface: no (No such interface)"),
              std::string::npos);

    // A portal still starting is no reason to install another one.
    findings.portal.camera_timed_out = true;
    verdict = judge(findings);
    EXPECT_EQ(verdict.next_steps.back(),
              "for PipeWire and Flatpak apps: the portal did not answer in time: run frix doctor "
              "again");
}

TEST(DoctorVerdict, SegmentNotMadeYetCountsWhenItWillFollowTheCaller) {
    Findings findings = streaming_member();
    findings.node.segment_exists = false;
    findings.node.segment_follows_caller = true;
    findings.pipewire.status = {true, ""};
    findings.pipewire.error = "No such file or directory";
    findings.portal.status = {true, ""};
    Verdict verdict = judge(findings);
    EXPECT_TRUE(verdict.v4l2_apps);
    EXPECT_EQ(verdict.next_steps,
              (std::vector<std::string>{
                  "for PipeWire and Flatpak apps: start PipeWire in your session (systemctl --user "
                  "start pipewire)",
                  "for PipeWire and Flatpak apps: install xdg-desktop-portal with a GNOME or KDE "
                  "backend, and log in again"}));
    EXPECT_NE(render(findings, verdict)
                  .find("  not made yet (frix makes it at the first capture); the "
                        "node's group or access list will let bob in"),
              std::string::npos);

    // Let in by the node's mode alone: the segment will not be the caller's.
    findings.caller.listed_groups = findings.caller.session_groups = {1001};
    findings.node.access.mode = 0666;
    findings.node.segment_follows_caller = false;
    verdict = judge(findings);
    EXPECT_FALSE(verdict.can_stream());
    EXPECT_EQ(verdict.next_steps.front(),
              "ask an administrator to add you to group video, then log in again");
}

}  // namespace
}  // namespace frix::doctor
