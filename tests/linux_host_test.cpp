// The Linux host on a fake sysfs tree (in a temporary folder) and a scripted
// system-call seam: discovery, volumes, paths, result judging, locking and
// the transfer limit.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scsi/discovery.h"
#include "scsi/passthrough.h"
#include "host/linux_hotplug.h"
#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace fs = std::filesystem;

namespace {

// A temporary root with helpers to lay out sysfs the way the kernel does:
// /sys/block/X is a folder whose device link leads into /sys/devices.
class FakeTree {
 public:
  FakeTree() {
    char pattern[] = "/tmp/tx_linux_XXXXXX";
    root_ = mkdtemp(pattern);
  }
  ~FakeTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& root() const { return root_; }

  void File(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path) << text;
  }
  std::string Read(const std::string& path) {
    std::ifstream in(root_ + path);
    std::string text;
    std::getline(in, text);
    return text;
  }
  void Link(const std::string& path, const std::string& target) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    fs::create_symlink(target, root_ + path);
  }
  // A driver binding: the link's last part is the driver's name.
  void Driver(const std::string& dir, const std::string& driver) {
    Link(dir + "/driver", "/sys/bus/any/drivers/" + driver);
  }
  // A SCSI block device at the end of device path dev (under /sys/devices).
  void Block(const std::string& name, const std::string& dev, const std::string& number,
             bool scsi = true) {
    const std::string device = "/sys/devices" + dev;
    fs::create_directories(root_ + device);
    if (scsi) fs::create_directories(root_ + device + "/scsi_device");
    File("/sys/block/" + name + "/dev", number + "\n");
    Link("/sys/block/" + name + "/device", fs::relative(root_ + device, root_ + "/sys/block/" + name));
  }
  // The block's SCSI generic node, as the sg driver shows it.
  void Sg(const std::string& block, const std::string& sg, const std::string& number) {
    File("/sys/block/" + block + "/device/scsi_generic/" + sg + "/dev", number + "\n");
  }
  void Partition(const std::string& disk, const std::string& part, const std::string& number) {
    File("/sys/block/" + disk + "/" + part + "/partition", "1\n");
    File("/sys/block/" + disk + "/" + part + "/dev", number + "\n");
  }

 private:
  std::string root_;
};

// An enclosure's USB interface with its SCSI host.
constexpr const char* kUsbIf = "/pci0000:00/0000:00:1d.0/usb1/1-1/1-1:1.0";

void UsbEnclosure(FakeTree& t, const std::string& driver) {
  t.File(std::string("/sys/devices") + kUsbIf + "/bInterfaceClass", "08\n");
  t.Driver(std::string("/sys/devices") + kUsbIf, driver);
}

TEST(LinuxDiscovery, BusFromTheDeviceAncestry) {
  struct Case {
    const char* what;
    std::function<void(FakeTree&)> build;
    host::Bus bus;
  };
  const std::string usbLun0 = std::string(kUsbIf) + "/host2/target2:0:0/2:0:0:0";
  const Case cases[] = {
      {"usb-storage", [&](FakeTree& t) { UsbEnclosure(t, "usb-storage"); t.Block("sdb", usbLun0, "8:16"); },
       host::Bus::Usb},
      {"uas", [&](FakeTree& t) { UsbEnclosure(t, "uas"); t.Block("sdb", usbLun0, "8:16"); },
       host::Bus::Usb},
      {"sbp2",
       [](FakeTree& t) {
         t.Driver("/sys/devices/pci0000:00/0000:00:1e.0/fw1/fw1.0", "firewire_sbp2");
         t.Block("sdb", "/pci0000:00/0000:00:1e.0/fw1/fw1.0/host3/target3:0:0/3:0:0:0", "8:16");
       },
       host::Bus::Ieee1394},
      {"ahci",
       [](FakeTree& t) {
         t.Driver("/sys/devices/pci0000:00/0000:00:1f.2", "ahci");
         t.Block("sdb", "/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "8:16");
       },
       host::Bus::Other},
      {"virtio",
       [](FakeTree& t) {
         t.Driver("/sys/devices/pci0000:00/0000:00:04.0/virtio1", "virtio_scsi");
         t.Block("sdb", "/pci0000:00/0000:00:04.0/virtio1/host4/target4:0:0/4:0:0:0", "8:16");
       },
       host::Bus::Other},
      // A USB interface class alone is not enough: the driver decides.
      {"usb, other driver",
       [&](FakeTree& t) { UsbEnclosure(t, "usbfs"); t.Block("sdb", usbLun0, "8:16"); },
       host::Bus::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeTree t;
    c.build(t);
    const auto disks = host::ScsiBlockDevices(t.root(), host::InterfaceClass::Disk);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].bus, c.bus);
    EXPECT_EQ(host::DevicePath(disks[0]), "/dev/sdb#8:16");
  }
}

TEST(LinuxDiscovery, ClassesOrderAndNonScsiDevices) {
  FakeTree t;
  UsbEnclosure(t, "usb-storage");
  const std::string target = std::string(kUsbIf) + "/host2/target2:0:0/";
  t.Block("sdb", target + "2:0:0:0", "8:16");
  t.Block("sr0", target + "2:0:0:1", "11:0");  // the enclosure's CD-ROM, LUN 1
  t.Driver("/sys/devices/pci0000:00/0000:00:1f.2", "ahci");
  t.Block("sdaa", "/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "65:160");
  t.Block("loop0", "/virtual/block/loop0", "7:0", false);
  t.Block("sdc", "/virtual/block/sdc", "8:32", false);  // no SCSI device behind it

  const auto disks = host::ScsiBlockDevices(t.root(), host::InterfaceClass::Disk);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].name, "sdb");  // sdb before sdaa, as the kernel names them
  EXPECT_EQ(disks[1].name, "sdaa");
  const auto cds = host::ScsiBlockDevices(t.root(), host::InterfaceClass::Cdrom);
  ASSERT_EQ(cds.size(), 1u);
  EXPECT_EQ(cds[0].bus, host::Bus::Usb);
  EXPECT_EQ(host::DevicePath(cds[0]), "/dev/sr0#11:0");

  // Discovery keeps the USB disk and CD-ROM only, through the host's bus.
  host::LinuxHost linux(host::RealLinuxSys(), t.root(), nullptr);
  host::ScopedHost scope(linux);
  device::PathTable table = {};
  const int found = device::EnumDiskDevices(table, true);
  ASSERT_EQ(found, 1);
  EXPECT_STREQ(table[0], "/dev/sdb#8:16");
  ASSERT_EQ(device::EnumCdromDevices(table, found, true), 1);
  EXPECT_STREQ(table[1], "/dev/sr0#11:0");
}

TEST(LinuxDiscovery, ScsiGenericNodeAndDiskSequence) {
  const std::string unit = std::string(kUsbIf) + "/host2/target2:0:0/2:0:0:";
  struct Case {
    const char* what;
    std::function<void(FakeTree&)> build;
    host::InterfaceClass cls;
    const char* sg;  // "" for none
    const char* path;
  };
  const Case cases[] = {
      {"disk", [&](FakeTree& t) { t.Block("sdb", unit + "0", "8:16"); t.Sg("sdb", "sg2", "21:2");
                                  t.File("/sys/block/sdb/diskseq", "7\n"); },
       host::InterfaceClass::Disk, "sg2", "/dev/sdb#8:16#diskseq=7"},
      {"CD-ROM", [&](FakeTree& t) { t.Block("sr0", unit + "1", "11:0"); t.Sg("sr0", "sg3", "21:3"); },
       host::InterfaceClass::Cdrom, "sg3", "/dev/sr0#11:0"},
      {"an older kernel's link", [&](FakeTree& t) {
         t.Block("sdb", unit + "0", "8:16");
         t.File("/sys/class/scsi_generic/sg4/dev", "21:4\n");
         const std::string link = "/sys/devices" + unit + "0/scsi_generic:sg4";
         t.Link(link, fs::relative(t.root() + "/sys/class/scsi_generic/sg4",
                                   fs::path(t.root() + link).parent_path()).string());
       },
       host::InterfaceClass::Disk, "sg4", "/dev/sdb#8:16"},
      {"no sg driver", [&](FakeTree& t) { t.Block("sdb", unit + "0", "8:16"); },
       host::InterfaceClass::Disk, "", "/dev/sdb#8:16"},
      {"not an sg name", [&](FakeTree& t) { t.Block("sdb", unit + "0", "8:16"); t.Sg("sdb", "bsg0", "21:2"); },
       host::InterfaceClass::Disk, "", "/dev/sdb#8:16"},
      {"sg number unreadable, diskseq not a number", [&](FakeTree& t) {
         t.Block("sdb", unit + "0", "8:16"); t.Sg("sdb", "sg2", "x");
         t.File("/sys/block/sdb/diskseq", "-1\n"); },
       host::InterfaceClass::Disk, "", "/dev/sdb#8:16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeTree t;
    UsbEnclosure(t, "usb-storage");
    c.build(t);
    const auto found = host::ScsiBlockDevices(t.root(), c.cls);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].sg ? found[0].sg->name : "", c.sg);
    EXPECT_EQ(host::DevicePath(found[0]), c.path);
  }
}

TEST(LinuxDiscovery, DevicePathParsing) {
  struct Case {
    const char* path;
    bool ok;
    const char* name;
    unsigned major, minor;
    std::optional<std::uint64_t> seq;
  };
  const Case cases[] = {
      {"/dev/sdb#8:16", true, "sdb", 8, 16, std::nullopt},
      {"/dev/sr0#11:0", true, "sr0", 11, 0, std::nullopt},
      {"/dev/sdb#8:16#diskseq=18446744073709551615", true, "sdb", 8, 16, UINT64_MAX},
      {"/dev/sdb", false, "", 0, 0, std::nullopt},          // no device number
      {"/dev/sdb#8", false, "", 0, 0, std::nullopt},
      {"/dev/sdb#8:16x", false, "", 0, 0, std::nullopt},
      {"/dev/sdb#8:16#diskseq=", false, "", 0, 0, std::nullopt},
      {"/dev/sdb#8:16#diskseq=7x", false, "", 0, 0, std::nullopt},
      {"/dev/sdb#8:16#diskseq=18446744073709551616", false, "", 0, 0, std::nullopt},
      {"/dev/../etc/passwd#8:16", false, "", 0, 0, std::nullopt},
      {"/dev/#8:16", false, "", 0, 0, std::nullopt},
      {"/tmp/sdb#8:16", false, "", 0, 0, std::nullopt},
      {"\\\\.\\C:", false, "", 0, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    host::DeviceId id;
    EXPECT_EQ(host::ParseDevicePath(c.path, id), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(id.name, c.name);
    EXPECT_EQ(id.major, c.major);
    EXPECT_EQ(id.minor, c.minor);
    EXPECT_EQ(id.diskSeq, c.seq);
    host::BlockDevice block{id.name, id.major, id.minor, host::Bus::Usb, id.diskSeq, {}};
    EXPECT_EQ(host::DevicePath(block), c.path);
  }
}

TEST(LinuxVolumes, MountPointsFromMountInfo) {
  FakeTree t;
  t.File("/sys/block/sdb/dev", "8:16\n");
  t.Partition("sdb", "sdb1", "8:17");
  t.Partition("sdb", "sdb2", "8:18");
  t.File("/sys/block/sr0/dev", "11:0\n");
  struct Case {
    const char* what;
    const char* disk;
    std::string mountinfo;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"escaped space, two partitions", "sdb",
       "22 1 8:17 / /media/My\\040Disk rw - vfat /dev/sdb1 rw\n"
       "23 1 8:18 / /mnt/b rw - ext4 /dev/sdb2 rw\n",
       {"/media/My Disk", "/mnt/b"}},
      {"the volume holding / is left out whole", "sdb",
       "1 0 8:18 / / rw - ext4 /dev/sdb2 rw\n"
       "24 1 8:18 /home /home rw - ext4 /dev/sdb2 rw\n"
       "25 1 8:17 / /boot/efi rw - vfat /dev/sdb1 rw\n",
       {"/boot/efi"}},
      {"bind mounts once each, other disks ignored, bad lines skipped", "sdb",
       "26 1 8:17 / /mnt/a rw - vfat /dev/sdb1 rw\n"
       "garbage\n"
       "27 1 8:17 / /mnt/a rw - vfat /dev/sdb1 rw\n"
       "28 1 8:33 / /mnt/c rw - vfat /dev/sdc1 rw\n",
       {"/mnt/a"}},
      {"a CD-ROM mounted whole", "sr0", "30 1 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n",
       {"/media/cdrom"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(host::MountPointsOf(t.root(), c.disk, host::ParseMountInfo(c.mountinfo)),
              c.expected);
  }
}

// A scripted kernel: device nodes by path, an ioctl answer per test, and a
// record of what was asked.
class FakeSys : public host::LinuxSys {
 public:
  struct Node {
    dev_t rdev;
    int openErrno = 0;  // for data opens; O_PATH always opens
    mode_t mode = S_IFBLK | 0660;
    gid_t gid = 6;
  };
  std::map<std::string, Node> nodes;
  std::function<int(sg_io_hdr_t&)> sgio = [](sg_io_hdr_t&) { return 0; };
  std::vector<int> flags;
  std::vector<std::string> opened;  // data opens, by node
  std::vector<int> locks;
  sg_io_hdr_t lastHeader{};
  int ioctls = 0;
  std::map<int, dev_t> open;

  int Open(const char* path, int f) override {
    flags.push_back(f);
    const auto it = nodes.find(path);
    if (it == nodes.end() || (it->second.openErrno != 0 && (f & O_PATH) == 0)) {
      errno = it == nodes.end() ? ENOENT : it->second.openErrno;
      return -1;
    }
    if ((f & O_PATH) == 0) opened.push_back(path);
    const int fd = next_++;
    open[fd] = it->second.rdev;
    return fd;
  }
  int Fstat(int fd, struct stat* st) override {
    *st = {};
    st->st_mode = S_IFBLK | 0660;
    st->st_rdev = open.at(fd);
    for (const auto& [path, node] : nodes)
      if (node.rdev == st->st_rdev) {
        st->st_mode = node.mode;
        st->st_gid = node.gid;
      }
    return 0;
  }
  int Ioctl(int, unsigned long request, void* arg) override {
    ++ioctls;
    EXPECT_EQ(request, static_cast<unsigned long>(SG_IO));
    auto& header = *static_cast<sg_io_hdr_t*>(arg);
    lastHeader = header;
    return sgio(header);
  }
  int Flock(int, int operation) override {
    locks.push_back(operation);
    return 0;
  }
  int Close(int fd) override { return open.erase(fd) == 1 ? 0 : -1; }

 private:
  int next_ = 10;
};

// Linux has no drive letters: discovery fakes none (a field's old letters
// are cleared as where a device has no volume with a letter) and finds the
// volumes by mount point instead.
TEST(LinuxVolumes, NoDriveLettersButMountPoints) {
  FakeTree t;
  UsbEnclosure(t, "usb-storage");
  t.Block("sdb", std::string(kUsbIf) + "/host2/target2:0:0/2:0:0:0", "8:16");
  t.Partition("sdb", "sdb1", "8:17");
  t.File("/proc/self/mountinfo", "22 1 8:17 / /mnt/a rw - vfat /dev/sdb1 rw\n");
  FakeSys sys;
  sys.nodes["/dev/sdb"] = {makedev(8, 16)};
  host::LinuxHost linux(sys, t.root(), nullptr);
  host::ScopedHost scope(linux);

  char letters[device::kDriveLettersSize] = "EF";
  device::GetDriveLetters("/dev/sdb#8:16", letters);
  EXPECT_STREQ(letters, "");
  std::vector<std::string> mounts;
  ASSERT_TRUE(device::GetMountPoints("/dev/sdb#8:16", mounts));
  EXPECT_EQ(mounts, std::vector<std::string>{"/mnt/a"});
}

TEST(LinuxOpen, FlagsLocksAndStalePaths) {
  FakeSys sys;
  sys.nodes["/dev/sdb"] = {makedev(8, 16)};
  sys.nodes["/dev/sdc"] = {makedev(8, 32), EACCES};
  host::LinuxHost linux(sys, "/nonexistent", nullptr);
  std::uint32_t error = 0;

  const host::Handle shared =
      linux.passThrough().OpenDevice("/dev/sdb#8:16", host::kGenericRead | host::kGenericWrite,
                       host::kShareRead | host::kShareWrite, error);
  ASSERT_NE(shared, host::kInvalidHandle);
  EXPECT_EQ(sys.flags.back(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(sys.locks.back(), LOCK_SH | LOCK_NB);
  linux.passThrough().CloseDevice(shared);

  const host::Handle exclusive =
      linux.passThrough().OpenDevice("/dev/sdb#8:16", host::kGenericRead | host::kGenericWrite, 0, error);
  ASSERT_NE(exclusive, host::kInvalidHandle);
  EXPECT_EQ(sys.locks.back(), LOCK_EX | LOCK_NB);
  linux.passThrough().CloseDevice(exclusive);

  // A number query opens the node path-only and takes no lock.
  const std::size_t locks = sys.locks.size();
  const host::Handle query = linux.passThrough().OpenDevice("/dev/sdb#8:16", 0, 0, error);
  ASSERT_NE(query, host::kInvalidHandle);
  EXPECT_EQ(sys.flags.back(), O_PATH | O_CLOEXEC);
  EXPECT_EQ(sys.locks.size(), locks);
  host::DeviceNumber number;
  ASSERT_TRUE(linux.passThrough().QueryDeviceNumber(query, number, error));
  EXPECT_EQ(number.deviceType, host::kDeviceTypeDisk);
  EXPECT_EQ(number.deviceNumber, host::PackedDeviceNumber(8, 16));
  linux.passThrough().CloseDevice(query);
  for (int f : sys.flags) EXPECT_EQ(f & O_EXCL, 0);

  // After a replug the name sdb belongs to another device: not found, and
  // the descriptor is closed again.
  EXPECT_EQ(linux.passThrough().OpenDevice("/dev/sdb#8:48", host::kGenericRead, 0, error), host::kInvalidHandle);
  EXPECT_EQ(error, host::kErrorFileNotFound);
  EXPECT_EQ(linux.passThrough().OpenDevice("/dev/sdd#8:48", host::kGenericRead, 0, error), host::kInvalidHandle);
  EXPECT_EQ(error, host::kErrorFileNotFound);
  EXPECT_EQ(linux.passThrough().OpenDevice("/dev/sdc#8:32", host::kGenericRead, 0, error), host::kInvalidHandle);
  EXPECT_EQ(error, host::kErrorAccessDenied);
  EXPECT_TRUE(sys.open.empty());
}

TEST(LinuxPassThrough, JudgesTheKernelsAnswer) {
  struct Case {
    const char* what;
    int ioctlErrno;  // nonzero: the ioctl fails with it
    unsigned char status, hostStatus, driverStatus;
    int resid;
    bool ok;
    std::uint32_t lastError;
    std::uint32_t transferred;
  };
  const Case cases[] = {
      {"good", 0, 0, 0, 0, 0, true, 0, 512},
      {"short read", 0, 0, 0, 0, 500, true, 0, 12},
      {"check condition", 0, 0x02, 0, 0x08, 512, true, 0, 0},  // fails by status, as on Windows
      {"host time-out", 0, 0, 0x03, 0, 512, false, host::kErrorSemTimeout, 0},
      {"driver time-out", 0, 0, 0, 0x06, 512, false, host::kErrorSemTimeout, 0},
      {"device gone", 0, 0, 0x01, 0, 512, false, host::kErrorFileNotFound, 0},
      {"other host error", 0, 0, 0x07, 0, 512, false, host::kErrorIoDevice, 0},
      {"driver error", 0, 0, 0, 0x04, 0, false, host::kErrorIoDevice, 512},
      {"EPERM", EPERM, 0, 0, 0, 0, false, host::kErrorAccessDenied, 0},
      {"ENODEV", ENODEV, 0, 0, 0, 0, false, host::kErrorFileNotFound, 0},
      {"EIO", EIO, 0, 0, 0, 0, false, host::kErrorIoDevice, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSys sys;
    sys.nodes["/dev/sdb"] = {makedev(8, 16)};
    sys.sgio = [&](sg_io_hdr_t& h) {
      if (c.ioctlErrno != 0) {
        errno = c.ioctlErrno;
        return -1;
      }
      h.status = c.status;
      h.host_status = c.hostStatus;
      h.driver_status = c.driverStatus;
      h.resid = c.resid;
      if (c.driverStatus == 0x08) {  // ILLEGAL REQUEST, INVALID FIELD IN CDB
        const unsigned char sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
        std::memcpy(h.sbp, sense, sizeof sense);
        h.sb_len_wr = sizeof sense;
      }
      return 0;
    };
    host::LinuxHost linux(sys, "/nonexistent", nullptr);
    std::uint32_t error = 0;
    const host::Handle handle = linux.passThrough().OpenDevice("/dev/sdb#8:16", host::kGenericRead, 3, error);
    ASSERT_NE(handle, host::kInvalidHandle);
    std::vector<std::uint8_t> data(512);
    host::PassThroughRequest request;
    request.cdbLength = 10;
    request.cdb[0] = 0x28;
    request.dataIn = 1;
    request.dataTransferLength = 512;
    request.dataBuffer = data.data();
    request.timeOutValue = 10;
    EXPECT_EQ(linux.passThrough().PassThrough(handle, request, error), c.ok);
    EXPECT_EQ(error, c.lastError);
    EXPECT_EQ(request.scsiStatus, c.status);
    EXPECT_EQ(request.dataTransferLength, c.transferred);
    EXPECT_EQ(sys.lastHeader.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(sys.lastHeader.timeout, 10000u);
    EXPECT_EQ(sys.lastHeader.cmd_len, 10);
    // The sense data the kernel took comes with the status, for the support log.
    std::uint8_t sense[32] = {};
    const std::size_t senseLength = linux.passThrough().LastSense(sense, sizeof sense);
    EXPECT_EQ(c.driverStatus == 0x08 ? 18u : 0u, senseLength);
    EXPECT_EQ(c.driverStatus == 0x08 ? 0x05 : 0, sense[2]);
    linux.passThrough().CloseDevice(handle);
  }
}

TEST(LinuxPassThrough, DirectionsThroughTheCarriers) {
  FakeSys sys;
  sys.nodes["/dev/sdb"] = {makedev(8, 16)};
  std::vector<int> directions;
  std::vector<std::uint8_t> sent;
  sys.sgio = [&](sg_io_hdr_t& h) {
    directions.push_back(h.dxfer_direction);
    if (h.dxfer_direction == SG_DXFER_TO_DEV) {
      const auto* p = static_cast<const std::uint8_t*>(h.dxferp);
      sent.assign(p, p + h.dxfer_len);
    }
    h.status = 0;
    return 0;
  };
  host::LinuxHost linux(sys, "/nonexistent", nullptr);
  host::ScopedHost scope(linux);
  EXPECT_EQ(device::EnterVendorMode("/dev/sdb#8:16"), 1);
  std::uint8_t cdb[12] = {0xFF};
  std::uint8_t data[4] = {1, 2, 3, 4};
  std::int32_t transferred = 0;
  EXPECT_EQ(device::ScsiPassThroughOut("/dev/sdb#8:16", cdb, 12, data, 4, &transferred), 1);
  EXPECT_EQ(transferred, 4);
  EXPECT_EQ(sent, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(directions, (std::vector<int>{SG_DXFER_NONE, SG_DXFER_TO_DEV}));
  EXPECT_EQ(sys.lastHeader.timeout, device::kTimeoutOut * 1000u);
}

// Real flock on a real file: the lock conflicts the kernel reports.
class FileSys : public FakeSys {
 public:
  explicit FileSys(std::string file) : file_(std::move(file)) {}
  int Open(const char*, int f) override {
    const int fd = ::open(file_.c_str(), (f & O_PATH) ? f : O_RDONLY | O_CLOEXEC);
    if (fd >= 0) open[fd] = makedev(8, 16);
    return fd;
  }
  int Flock(int fd, int operation) override { return ::flock(fd, operation); }
  int Close(int fd) override {
    open.erase(fd);
    return ::close(fd);
  }

 private:
  std::string file_;
};

TEST(LinuxOpen, LockContention) {
  FakeTree t;
  t.File("/node", "");
  FileSys sys(t.root() + "/node");
  host::LinuxHost linux(sys, t.root(), nullptr);
  struct Case {
    std::uint32_t first, second;
    bool secondOpens;
  };
  constexpr std::uint32_t kShared = host::kShareRead | host::kShareWrite;
  const Case cases[] = {
      {kShared, kShared, true}, {kShared, 0, false}, {0, kShared, false}, {0, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
    std::uint32_t error = 0;
    const host::Handle first = linux.passThrough().OpenDevice("/dev/sdb#8:16", host::kGenericRead, c.first, error);
    ASSERT_NE(first, host::kInvalidHandle);
    const host::Handle second =
        linux.passThrough().OpenDevice("/dev/sdb#8:16", host::kGenericRead, c.second, error);
    EXPECT_EQ(second != host::kInvalidHandle, c.secondOpens);
    if (!c.secondOpens) {
      EXPECT_EQ(error, host::kErrorSharingViolation);
    }
    if (second != host::kInvalidHandle) linux.passThrough().CloseDevice(second);
    linux.passThrough().CloseDevice(first);
  }
  // Closing released every lock.
  std::uint32_t error = 0;
  const host::Handle again = linux.passThrough().OpenDevice("/dev/sdb#8:16", host::kGenericRead, 0, error);
  EXPECT_NE(again, host::kInvalidHandle);
  linux.passThrough().CloseDevice(again);
}

TEST(LinuxPassThrough, TransferLimit) {
  FakeTree t;
  t.File("/sys/block/sdb/queue/max_hw_sectors_kb", "120\n");
  t.File("/sys/block/sdb/device/max_sectors", "240\n");  // usb-storage
  t.File("/sys/block/sdc/queue/max_hw_sectors_kb", "512\n");  // uas: no such attribute
  FakeSys sys;
  sys.nodes["/dev/sdb"] = {makedev(8, 16)};
  sys.nodes["/dev/sdc"] = {makedev(8, 32)};
  std::vector<std::uint8_t> data(1 << 20);
  std::FILE* notes = std::tmpfile();
  ASSERT_NE(notes, nullptr);
  auto send = [&](host::LinuxHost& linux, const char* path, std::uint32_t length) {
    std::uint32_t error = 0;
    const host::Handle h = linux.passThrough().OpenDevice(path, host::kGenericRead, 3, error);
    host::PassThroughRequest request;
    request.cdbLength = 10;
    request.dataIn = 1;
    request.dataTransferLength = length;
    request.dataBuffer = data.data();
    const bool ok = linux.passThrough().PassThrough(h, request, error);
    linux.passThrough().CloseDevice(h);
    return ok;
  };
  {
    host::LinuxHost linux(sys, t.root(), notes);
    EXPECT_TRUE(send(linux, "/dev/sdb#8:16", 120 * 1024));
    EXPECT_EQ(linux.raisedLimits(), 0u);
    EXPECT_EQ(sys.ioctls, 1);

    // uas cannot go past 512 KiB: refused with a note, nothing sent.
    EXPECT_FALSE(send(linux, "/dev/sdc#8:32", 1 << 20));
    EXPECT_EQ(sys.ioctls, 1);
    std::rewind(notes);
    char line[200] = {};
    ASSERT_NE(std::fgets(line, sizeof line, notes), nullptr);
    EXPECT_NE(std::string(line).find("/dev/sdc takes at most 512 KiB"), std::string::npos) << line;

    // usb-storage: the driver's max_sectors is raised; the kernel then raises
    // the queue's limit, which this fake tree does by hand.
    EXPECT_FALSE(send(linux, "/dev/sdb#8:16", 1 << 20));
    EXPECT_EQ(t.Read("/sys/block/sdb/device/max_sectors"), "2048");
    EXPECT_EQ(linux.raisedLimits(), 1u);
    t.File("/sys/block/sdb/queue/max_hw_sectors_kb", "1024\n");
    EXPECT_TRUE(send(linux, "/dev/sdb#8:16", 1 << 20));
    EXPECT_EQ(sys.ioctls, 2);
  }
  // Put back when the host goes.
  EXPECT_EQ(t.Read("/sys/block/sdb/device/max_sectors"), "240");
  std::fclose(notes);
}

// A usb-storage disk sdb (8:16) with its sg node sg2 (21:2) and the disk
// sequence number 7, in sysfs and in the fake kernel's /dev.
constexpr const char* kSgDiskPath = "/dev/sdb#8:16#diskseq=7";
struct SgDisk {
  SgDisk() {
    UsbEnclosure(t, "usb-storage");
    t.Block("sdb", std::string(kUsbIf) + "/host2/target2:0:0/2:0:0:0", "8:16");
    t.Sg("sdb", "sg2", "21:2");
    t.File("/sys/block/sdb/diskseq", "7\n");
    sys.nodes["/dev/sdb"] = {makedev(8, 16)};
    sys.nodes["/dev/sg2"] = {makedev(21, 2), 0, S_IFCHR | 0660};
  }
  FakeTree t;
  FakeSys sys;
};

constexpr std::uint32_t kReadWrite = host::kGenericRead | host::kGenericWrite;
constexpr std::uint32_t kShareBoth = host::kShareRead | host::kShareWrite;

TEST(LinuxOpen, TheListedDiskAtEveryOpen) {
  constexpr int kSgFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
  constexpr int kBlockFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  struct Case {
    const char* what;
    std::function<void(SgDisk&)> change;
    const char* path;
    const char* node;  // "" when refused
    int flags;
  };
  const std::string sysBlock = "/sys/block/sdb";
  const Case cases[] = {
      {"its sg node, read-write", [](SgDisk&) {}, kSgDiskPath, "/dev/sg2", kSgFlags},
      {"replaced under the same name and number",
       [&](SgDisk& d) { d.t.File(sysBlock + "/diskseq", "9\n"); }, kSgDiskPath, "", 0},
      {"its disk sequence number gone",
       [&](SgDisk& d) { fs::remove(d.t.root() + sysBlock + "/diskseq"); }, kSgDiskPath, "", 0},
      {"a kernel without disk sequence numbers",
       [&](SgDisk& d) { fs::remove(d.t.root() + sysBlock + "/diskseq"); }, "/dev/sdb#8:16",
       "/dev/sg2", kSgFlags},
      {"its sg node now another device's", [](SgDisk& d) { d.t.Sg("sdb", "sg2", "21:5"); },
       kSgDiskPath, "", 0},
      {"no sg driver: the block node",
       [&](SgDisk& d) { fs::remove_all(d.t.root() + sysBlock + "/device/scsi_generic"); },
       kSgDiskPath, "/dev/sdb", kBlockFlags},
      {"an sg node missing in /dev: the block node",
       [](SgDisk& d) { d.sys.nodes.erase("/dev/sg2"); }, kSgDiskPath, "/dev/sdb", kBlockFlags},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SgDisk d;
    c.change(d);
    host::LinuxHost linux(d.sys, d.t.root(), nullptr);
    std::uint32_t error = 0;
    const host::Handle h = linux.passThrough().OpenDevice(c.path, kReadWrite, kShareBoth, error);
    ASSERT_EQ(h != host::kInvalidHandle, *c.node != 0);
    if (h == host::kInvalidHandle) {
      EXPECT_EQ(error, host::kErrorFileNotFound);
      EXPECT_TRUE(d.sys.open.empty());
      continue;
    }
    EXPECT_EQ(d.sys.opened.back(), c.node);
    EXPECT_EQ(d.sys.flags.back(), c.flags);
    linux.passThrough().CloseDevice(h);
  }
}

TEST(LinuxRun, OneOpenAndOneLockForTheWholeRun) {
  SgDisk d;
  d.t.File("/sys/block/sdb/queue/max_hw_sectors_kb", "120\n");
  d.t.File("/sys/block/sdb/device/max_sectors", "240\n");
  host::LinuxHost linux(d.sys, d.t.root(), nullptr);
  host::ScopedHost scope(linux);
  std::uint32_t error = 0;
  ASSERT_TRUE(linux.runLocks().BeginRun(kSgDiskPath, error));
  ASSERT_TRUE(linux.runLocks().BeginRun(kSgDiskPath, error));  // the window's Run inside the console's
  std::uint8_t cdb[12] = {0xFF, 0x04};
  std::vector<std::uint8_t> data(1 << 20);
  std::int32_t moved = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(device::EnterVendorMode(kSgDiskPath), 1);
    EXPECT_EQ(device::ScsiPassThroughIn(kSgDiskPath, cdb, 12, data.data(), 16, &moved), 1);
  }
  // Raises usb-storage's limit (the fake queue's own limit stays, so it is
  // refused here); the run's end puts it back.
  EXPECT_EQ(device::ScsiPassThroughIn(kSgDiskPath, cdb, 12, data.data(), 1 << 20, &moved), 0);
  EXPECT_EQ(d.t.Read("/sys/block/sdb/device/max_sectors"), "2048");
  linux.runLocks().EndRun(kSgDiskPath);
  EXPECT_EQ(d.sys.open.size(), 2u);
  linux.runLocks().EndRun(kSgDiskPath);
  // The sg node carries the commands; the block node is locked beside it.
  EXPECT_EQ(d.sys.opened, (std::vector<std::string>{"/dev/sg2", "/dev/sdb"}));
  EXPECT_EQ(d.sys.locks, (std::vector<int>{LOCK_EX | LOCK_NB, LOCK_EX | LOCK_NB}));
  EXPECT_EQ(d.sys.ioctls, 6);
  EXPECT_TRUE(d.sys.open.empty());
  EXPECT_EQ(d.t.Read("/sys/block/sdb/device/max_sectors"), "240");
  EXPECT_EQ(linux.raisedLimits(), 0u);
  EXPECT_EQ(linux.trafficOf("sdb").opens, 1u);
  EXPECT_EQ(linux.trafficOf("sdb").commands, 6u);
}

TEST(LinuxRun, AfterTheDeviceWentAwayOnlyTheSameDiskIsReopened) {
  SgDisk d;
  host::LinuxHost linux(d.sys, d.t.root(), nullptr);
  host::ScopedHost scope(linux);
  std::uint32_t error = 0;
  ASSERT_TRUE(linux.runLocks().BeginRun(kSgDiskPath, error));
  const auto gone = [](sg_io_hdr_t&) {
    errno = ENODEV;
    return -1;
  };
  d.sys.sgio = gone;
  EXPECT_EQ(device::EnterVendorMode(kSgDiskPath), 0);
  EXPECT_TRUE(d.sys.open.empty());  // the run's descriptor is dropped, with its lock
  d.sys.sgio = [](sg_io_hdr_t&) { return 0; };
  EXPECT_EQ(device::EnterVendorMode(kSgDiskPath), 1);  // back as itself: reopened
  EXPECT_EQ(d.sys.opened.size(), 4u);                  // each time sg and block node
  d.sys.sgio = gone;
  EXPECT_EQ(device::EnterVendorMode(kSgDiskPath), 0);
  d.t.File("/sys/block/sdb/diskseq", "8\n");  // another disk under its name and number
  const int sent = d.sys.ioctls;
  EXPECT_EQ(device::EnterVendorMode(kSgDiskPath), 0);
  EXPECT_EQ(d.sys.ioctls, sent);
  linux.runLocks().EndRun(kSgDiskPath);
  EXPECT_TRUE(d.sys.open.empty());
}

// Two programs on one device, each with its own descriptors on a real file:
// the kernel's flock decides.
TEST(LinuxRun, ASecondProgramIsRefusedWhileTheFirstRuns) {
  FakeTree t;
  t.File("/node", "");
  FileSys firstSys(t.root() + "/node"), secondSys(t.root() + "/node");
  host::LinuxHost first(firstSys, t.root(), nullptr), second(secondSys, t.root(), nullptr);
  const char* path = "/dev/sdb#8:16";
  std::uint32_t error = 0;
  ASSERT_TRUE(first.runLocks().BeginRun(path, error));
  EXPECT_FALSE(second.runLocks().BeginRun(path, error));
  EXPECT_EQ(error, host::kErrorSharingViolation);
  EXPECT_EQ(second.passThrough().OpenDevice(path, kReadWrite, kShareBoth, error), host::kInvalidHandle);
  EXPECT_EQ(error, host::kErrorSharingViolation);
  const std::vector<host::UnreachableDevice> refused = second.discovery().TakeUnreachable();
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].why, host::UnreachableDevice::Why::InUse);
  EXPECT_EQ(refused[0].path, path);
  EXPECT_NE(refused[0].text.find("device in use"), std::string::npos) << refused[0].text;
  EXPECT_TRUE(second.discovery().TakeUnreachable().empty());
  // The first goes on unhindered, even with an exclusive command.
  const host::Handle h = first.passThrough().OpenDevice(path, kReadWrite, 0, error);
  EXPECT_NE(h, host::kInvalidHandle);
  first.passThrough().CloseDevice(h);
  first.runLocks().EndRun(path);
  EXPECT_TRUE(second.runLocks().BeginRun(path, error));
  second.runLocks().EndRun(path);
}

// A Windows console under Wine locks the same lock file with LockFileEx,
// which wineserver turns into a classic record lock (its own process's);
// the run's lock is of the kind that conflicts with it, in both directions.
TEST(LinuxRun, WinesRecordLockOnTheLockFileAndARunExcludeEachOther) {
  FakeTree t;
  t.File("/node", "");
  t.File("/run/lock/.keep", "");
  FileSys sys(t.root() + "/node");
  host::LinuxHost linux(sys, t.root(), nullptr);
  const char* path = "/dev/sdb#8:16";
  const std::string key = t.root() + "/run/lock/tx4077x-8-16.lock";
  const auto wineLock = [&](short type) {
    const int fd = ::open(key.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    const int got = ::fcntl(fd, F_SETLK, &range);
    if (got != 0) ::close(fd);
    return got == 0 ? fd : -1;
  };
  std::uint32_t error = 0;
  ASSERT_TRUE(linux.runLocks().BeginRun(path, error));
  struct stat st {};
  ASSERT_EQ(::stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // whoever comes next can take a write lock
  EXPECT_EQ(wineLock(F_WRLCK), -1);
  EXPECT_EQ(wineLock(F_RDLCK), -1);
  linux.runLocks().EndRun(path);
  // A classic record lock is this process's and goes with any descriptor of
  // the file it closes, the host's refused one too: taken anew each time.
  int held = wineLock(F_WRLCK);
  ASSERT_GE(held, 0);
  EXPECT_FALSE(linux.runLocks().BeginRun(path, error));
  EXPECT_EQ(error, host::kErrorSharingViolation);
  ::close(held);
  held = wineLock(F_WRLCK);
  EXPECT_EQ(linux.passThrough().OpenDevice(path, host::kGenericRead, kShareBoth, error), host::kInvalidHandle);
  const std::vector<host::UnreachableDevice> refused = linux.discovery().TakeUnreachable();
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_NE(refused[0].text.find("device in use"), std::string::npos) << refused[0].text;
  EXPECT_TRUE(sys.open.empty());  // nothing left open, nothing sent
  ::close(held);
  ASSERT_TRUE(linux.runLocks().BeginRun(path, error));
  linux.runLocks().EndRun(path);
}

TEST(LinuxPermissions, ARefusalNamesTheNodeAndItsGroup) {
  struct Case {
    mode_t mode;
    gid_t gid;
    const char* says;
  };
  const Case cases[] = {
      {0660, 6, "open to root and the group disk: add this user to group disk"},
      {0600, 0, "only root may use it (mode 0600, group root)"},
      {0660, 77, "group 77"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    SgDisk d;
    d.t.File("/etc/group", "root:x:0:\ndisk:x:6:tester\n");
    d.sys.nodes["/dev/sg2"] = {makedev(21, 2), EACCES, static_cast<mode_t>(S_IFCHR | c.mode), c.gid};
    host::LinuxHost linux(d.sys, d.t.root(), nullptr);
    std::uint32_t error = 0;
    EXPECT_EQ(linux.passThrough().OpenDevice(kSgDiskPath, kReadWrite, kShareBoth, error), host::kInvalidHandle);
    EXPECT_EQ(error, host::kErrorAccessDenied);
    const std::vector<host::UnreachableDevice> refused = linux.discovery().TakeUnreachable();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].why, host::UnreachableDevice::Why::AccessDenied);
    EXPECT_NE(refused[0].text.find("cannot open /dev/sg2 (sdb)"), std::string::npos) << refused[0].text;
    EXPECT_NE(refused[0].text.find(c.says), std::string::npos) << refused[0].text;
  }
}

TEST(LinuxOpen, TheNamesOfAListedDevice) {
  SgDisk d;
  d.t.File("/dev/sdb", "");
  d.t.Link("/dev/disk/by-id/usb-Tavrion_TX40775", "../../sdb");
  host::LinuxHost linux(d.sys, d.t.root(), nullptr);
  const std::pair<const char*, bool> rows[] = {
      {kSgDiskPath, true},       {"/dev/sdb", true},       {"/dev/sg2", true},
      {"/dev/disk/by-id/usb-Tavrion_TX40775", true},       {"/dev/sdb#8:16", false},
      {"/dev/sdc", false},       {"/dev/sg3", false},      {"", false},
  };
  for (const auto& [given, names] : rows) EXPECT_EQ(linux.discovery().NamesDevice(kSgDiskPath, given), names) << given;
  EXPECT_EQ(linux.discovery().DiskSequence(kSgDiskPath), std::optional<std::uint64_t>(7));
}

}  // namespace

namespace {

TEST(LinuxHotplug, StorageUevents) {
  struct Case {
    std::string message;
    bool storage;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"add@/devices/x/block/sdb\0ACTION=add\0DEVPATH=/devices/x/block/sdb\0SUBSYSTEM=block\0"s, true},
      {"remove@/devices/x/sg2\0ACTION=remove\0SUBSYSTEM=scsi_generic\0"s, true},
      {"change@/devices/x/block/sr0\0ACTION=change\0SUBSYSTEM=block\0"s, false},  // media change
      {"add@/devices/x/1-1\0ACTION=add\0SUBSYSTEM=usb\0"s, false},
      {"bind@/devices/x/block/sdb\0ACTION=bind\0SUBSYSTEM=block\0"s, false},
      {"add@/devices/x\0ACTION=add\0SUBSYSTEM=blocks\0"s, false},
      {"libudev\0ACTION=add"s, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(host::IsStorageUevent(c.message.data(), c.message.size()), c.storage) << c.message;
}

TEST(LinuxHotplug, PollsTheBlockListingWithoutUevents) {
  FakeTree t;
  t.File("/sys/block/sda/dev", "8:0\n");
  host::DeviceWatch watch(t.root());  // a fake root has no kernel to listen to
  EXPECT_FALSE(watch.usesUevents());
  EXPECT_FALSE(watch.Wait(0));
  t.File("/sys/block/sdb/dev", "8:16\n");
  EXPECT_TRUE(watch.Wait(0));
  EXPECT_FALSE(watch.Wait(0));  // the new listing is the one compared with now
  fs::remove_all(t.root() + "/sys/block/sdb");
  EXPECT_TRUE(watch.Wait(600));
}

}  // namespace
