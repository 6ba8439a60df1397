// The v4l2cam driver's camera choice against a made-up sysfs tree, and its options.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "drivers/v4l2cam/camera_list.h"
#include "drivers/v4l2cam/options.h"

namespace frix::v4l2cam {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::uint32_t capture = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

// A sysfs tree laid out as the kernel does it: class links into the device hierarchy,
// where a USB camera's interface sits below the device directory with its ids.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/v4l2cam-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        usb_camera("video0", "Webcam C270", "usb1/1-2", "046D", "0825", "ABC");
        usb_camera("video1", "Webcam C270", "usb1/1-2", "046D", "0825", "ABC");  // metadata
        usb_camera("video2", "Webcam C270", "usb3/3-1/3-1.4", "046d", "0825", "XYZ");
        usb_camera("video10", "Integrated Camera", "usb1/1-3", "0c45", "6366", "");
        platform_camera("video3", "vivid-000-vid-cap");
        probes["/dev/video0"] = {81, "uvcvideo", "C270", "usb-0000:00:14.0-2", capture};
        probes["/dev/video1"] = {81, "uvcvideo", "C270", "usb-0000:00:14.0-2",
                                 V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING};
        probes["/dev/video2"] = {81, "uvcvideo", "C270", "usb-0000:00:14.0-3.4", capture};
        probes["/dev/video3"] = {81, "vivid", "vivid", "platform:vivid-000", capture};
        probes["/dev/video10"] = {81, "uvcvideo", "Integrated", "usb-0000:00:14.0-3", capture};
    }
    void TearDown() override { fs::remove_all(root); }

    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }

    void usb_camera(const std::string& node, const std::string& name, const std::string& device,
                    const std::string& vendor, const std::string& product,
                    const std::string& serial) {
        const fs::path dir = root / "devices/pci0000:00/0000:00:14.0" / device;
        write(dir / "idVendor", vendor);
        write(dir / "idProduct", product);
        if (!serial.empty()) write(dir / "serial", serial);
        const auto interface = dir / (dir.filename().string() + ":1.0");
        link(node, name, interface);
    }

    void platform_camera(const std::string& node, const std::string& name) {
        link(node, name, root / "devices/platform/vivid.0");
    }

    void link(const std::string& node, const std::string& name, const fs::path& device) {
        const auto entry = device / "video4linux" / node;
        write(entry / "name", name);
        write(entry / "dev", "81:0");
        fs::create_directories(root / "class/video4linux");
        fs::create_symlink(fs::relative(entry, root / "class/video4linux"),
                           root / "class/video4linux" / node);
        fs::create_symlink(fs::relative(device, entry), entry / "device");
    }

    std::vector<CameraEntry> entries() const { return list_cameras(root.string(), "/dev"); }

    std::optional<std::string> chosen(const Selector& selector) {
        const auto entry = select_camera(selector, entries(), [this](const std::string& node) {
            probed.push_back(node);
            const auto found = probes.find(node);
            return found == probes.end() ? std::nullopt : std::optional<Probe>(found->second);
        });
        if (!entry) return std::nullopt;
        return entry->node;
    }

    static Selector usb(const std::string& vendor, const std::string& product,
                        const std::string& serial = "") {
        Selector selector;
        selector.vendor = vendor;
        selector.product = product;
        selector.serial = serial;
        return selector;
    }

    fs::path root;
    std::map<std::string, Probe> probes;
    std::vector<std::string> probed;
};

TEST_F(FakeSysfs, ListsNodesInNumberOrderWithTheirUsbIdentity) {
    const auto list = entries();
    std::vector<std::string> nodes;
    for (const auto& entry : list) nodes.push_back(entry.node);
    EXPECT_THAT(nodes, ElementsAre("/dev/video0", "/dev/video1", "/dev/video2", "/dev/video3",
                                   "/dev/video10"));
    EXPECT_EQ(list[0].name, "Webcam C270");
    EXPECT_EQ(list[0].vendor, "046d");  // sysfs may write the ids in upper case
    EXPECT_EQ(list[0].product, "0825");
    EXPECT_EQ(list[0].serial, "ABC");
    EXPECT_EQ(list[0].usb_path, "1-2");
    EXPECT_EQ(list[2].usb_path, "3-1.4");
    EXPECT_EQ(list[4].serial, "");
    EXPECT_FALSE(list[3].is_usb());
    EXPECT_EQ(list[2].describe(), "/dev/video2 'Webcam C270' USB 046d:0825 serial XYZ at 3-1.4");
}

TEST_F(FakeSysfs, NoTreeMeansNoCameras) {
    EXPECT_TRUE(list_cameras((root / "nothing").string(), "/dev").empty());
}

TEST_F(FakeSysfs, UsbIdPicksTheFirstMatchOrTheSerial) {
    EXPECT_EQ(chosen(usb("046d", "0825")), "/dev/video0");
    EXPECT_EQ(chosen(usb("046D", "0825")), "/dev/video0");
    EXPECT_EQ(chosen(usb("046d", "0825", "XYZ")), "/dev/video2");
    EXPECT_EQ(chosen(usb("0c45", "6366")), "/dev/video10");
    EXPECT_EQ(chosen(usb("046d", "0825", "NOPE")), std::nullopt);
    EXPECT_EQ(chosen(usb("1234", "5678")), std::nullopt);
    // Nodes that do not match are not even opened.
    EXPECT_THAT(probed, ElementsAre("/dev/video0", "/dev/video0", "/dev/video2", "/dev/video10"));
}

TEST_F(FakeSysfs, UsbPathPicksThePort) {
    Selector selector;
    selector.usb_path = "3-1.4";
    EXPECT_EQ(chosen(selector), "/dev/video2");
    selector.usb_path = "1-3";
    EXPECT_EQ(chosen(selector), "/dev/video10");
    selector.usb_path = "3-1";  // the hub, not the camera
    EXPECT_EQ(chosen(selector), std::nullopt);
}

TEST_F(FakeSysfs, MetadataNodeOfACameraIsNotChosen) {
    probes["/dev/video0"].device_caps = 0;  // only video1, its metadata node, remains at 1-2
    Selector selector;
    selector.usb_path = "1-2";
    EXPECT_EQ(chosen(selector), std::nullopt);
    EXPECT_EQ(chosen(usb("046d", "0825")), "/dev/video2");
}

TEST_F(FakeSysfs, WithoutChoiceTheFirstCaptureCameraThatIsNoFrixNode) {
    EXPECT_EQ(chosen(Selector{}), "/dev/video0");
    // A node whose driver is one of frix's own plug-ins, or that is no kernel V4L2
    // device (CUSE nodes have another major number), is passed over.
    probes["/dev/video0"].driver = "v4l2cam";
    probes["/dev/video2"].major = 235;
    probes["/dev/video3"].driver = "pattern";
    EXPECT_EQ(chosen(Selector{}), "/dev/video10");
    probes.erase("/dev/video10");  // cannot be opened
    EXPECT_EQ(chosen(Selector{}), std::nullopt);
}

TEST_F(FakeSysfs, NodeGivenByPath) {
    Selector selector;
    selector.device = "/dev/video3";
    EXPECT_EQ(chosen(selector), "/dev/video3");
    // A kernel node that sysfs does not list still serves, without a USB identity.
    selector.device = "/dev/video7";
    probes["/dev/video7"] = {81, "uvcvideo", "C920", "usb-1", capture};
    EXPECT_EQ(chosen(selector), "/dev/video7");
    // frix's own node, found by the same path, does not.
    probes["/dev/video7"].major = 235;
    EXPECT_EQ(chosen(selector), std::nullopt);
    selector.device = "/dev/video1";
    EXPECT_EQ(chosen(selector), std::nullopt);
}

// After an unplug the camera may come back under another node number.
TEST_F(FakeSysfs, LostCameraIsFoundAgainByItsUsbIdentity) {
    const auto before = entries();
    const CameraEntry lost_c270 = before[2];     // 046d:0825 serial XYZ, /dev/video2
    const CameraEntry lost_builtin = before[4];  // 0c45:6366 without serial, at 1-3
    const auto again = [&](const CameraEntry& lost) -> std::optional<std::string> {
        const auto found = find_again(lost, Probe{}, entries(), [this](const std::string& node) {
            const auto it = probes.find(node);
            return it == probes.end() ? std::nullopt : std::optional<Probe>(it->second);
        });
        if (!found) return std::nullopt;
        return found->node;
    };
    // Gone: the tree no longer lists them.
    fs::remove(root / "class/video4linux/video2");
    fs::remove(root / "class/video4linux/video10");
    EXPECT_EQ(again(lost_c270), std::nullopt);  // video0 has the same ids, another serial
    EXPECT_EQ(again(lost_builtin), std::nullopt);
    // Back, as other nodes; the camera without serial only in its own port.
    usb_camera("video5", "Webcam C270", "usb3/3-2", "046d", "0825", "XYZ");
    usb_camera("video6", "Integrated Camera", "usb1/1-4", "0c45", "6366", "");
    probes["/dev/video5"] = probes["/dev/video2"];
    probes["/dev/video6"] = probes["/dev/video10"];
    EXPECT_EQ(again(lost_c270), "/dev/video5");
    EXPECT_EQ(again(lost_builtin), std::nullopt);
    usb_camera("video7", "Integrated Camera", "usb1/1-3", "0c45", "6366", "");
    probes["/dev/video7"] = probes["/dev/video10"];
    EXPECT_EQ(again(lost_builtin), "/dev/video7");
}

TEST_F(FakeSysfs, LostNodeWithoutUsbIsTheSameCameraOnlyWithTheSameCardAndBus) {
    const CameraEntry vivid = entries()[3];
    const Probe identity = probes["/dev/video3"];
    const auto again = [&] {
        return find_again(vivid, identity, {}, [this](const std::string& node) {
            const auto it = probes.find(node);
            return it == probes.end() ? std::nullopt : std::optional<Probe>(it->second);
        });
    };
    ASSERT_TRUE(again());
    EXPECT_EQ(again()->node, "/dev/video3");
    probes["/dev/video3"].bus_info = "platform:vivid-001";  // another device took the number
    EXPECT_FALSE(again());
    probes.erase("/dev/video3");
    EXPECT_FALSE(again());
}

TEST(V4l2camOptions, SelectionAndEncoding) {
    auto options = parse_options({"--usb", "046d:0825:ABC 1", "--encoding", "mjpeg"});
    EXPECT_EQ(options.selector.vendor, "046d");
    EXPECT_EQ(options.selector.product, "0825");
    EXPECT_EQ(options.selector.serial, "ABC 1");
    EXPECT_EQ(options.encoding, Encoding::Mjpeg);

    options = parse_options({"--usb-path=2-1.4.3"});
    EXPECT_EQ(options.selector.usb_path, "2-1.4.3");
    EXPECT_EQ(options.encoding, Encoding::Raw);
    EXPECT_EQ(parse_options({"--camera", "/dev/video5"}).selector.device, "/dev/video5");
    EXPECT_EQ(parse_options({"--device", "/dev/video5"}).selector.device, "/dev/video5");
    EXPECT_EQ(parse_options({}).recover_wait_ms, 3000u);
    EXPECT_EQ(parse_options({"--sysfs", "/tmp/x"}).sysfs_root, "/tmp/x");
}

TEST(V4l2camOptions, MalformedValuesAreRefusedByName) {
    const auto refusal = [](std::vector<std::string> arguments) {
        try {
            parse_options(arguments);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    for (const char* id : {"046d", "046d:", "46d:0825", "046d:08255", "g46d:0825", "046d:0825:"})
        EXPECT_THAT(refusal({"--usb", id}), HasSubstr("option '--usb' is invalid")) << id;
    for (const char* path : {"1", "-2", "1-", "1-2.", "1-.2", "a-2", "1-2..3", "1-2-3"})
        EXPECT_THAT(refusal({"--usb-path", path}), HasSubstr("option '--usb-path' is invalid"))
            << path;
    EXPECT_THAT(refusal({"--encoding", "h264"}), HasSubstr("use raw or mjpeg"));
    EXPECT_THAT(refusal({"--camera", "/dev/video0", "--usb", "046d:0825"}),
                HasSubstr("only one of"));
    EXPECT_THAT(refusal({"--brightness", "3"}), HasSubstr("unrecognised argument '--brightness'"));
    EXPECT_THAT(refusal({"stray"}), HasSubstr("unrecognised argument 'stray'"));
}

}  // namespace
}  // namespace frix::v4l2cam
