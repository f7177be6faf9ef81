// Runs inside a qemu guest with a real kernel: the Linux host's discovery and
// pass-through against emulated USB enclosures (usb-storage and uas) and
// scsi_debug. Prints one "CHECK name: ok|FAIL detail" line per check and
// "PROBE DONE failed=N" at the end; the script on the outside judges them.
//
//   guest_probe checks        every check up to the unplug
//   guest_probe unplug PATH   after the outside unplugged the usb-storage enclosure
//   guest_probe replug PATH   after the outside plugged another disk in its place
//   guest_probe gadget        against the emulated enclosure behind the USB gadget
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scsi/discovery.h"
#include "scsi/passthrough.h"
#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace {

int g_failed = 0;

void Check(const std::string& name, bool ok, const std::string& detail = "") {
  std::printf("CHECK %s: %s%s%s\n", name.c_str(), ok ? "ok" : "FAIL",
              detail.empty() ? "" : " ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failed;
}

const char* BusName(host::Bus bus) {
  return bus == host::Bus::Usb ? "USB" : bus == host::Bus::Ieee1394 ? "IEEE 1394" : "other";
}

std::string Vendor(const std::string& path) {
  std::uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
  std::uint8_t data[36] = {};
  std::int32_t got = 0;
  if (device::ScsiPassThroughIn(path.c_str(), cdb, 6, data, 36, &got).failed()) return "";
  return std::string(reinterpret_cast<const char*>(data + 8), 8) + "|" +
         std::string(reinterpret_cast<const char*>(data + 16), 16);
}

// One request on an open handle, to see the host's own judgement.
struct Answer {
  bool ok = false;
  std::uint32_t lastError = 0;
  std::uint8_t status = 0;
  std::uint32_t transferred = 0;
};

Answer Send(host::PassThroughIo& h, const std::string& path, std::vector<std::uint8_t> cdb, bool in,
            std::vector<std::uint8_t>& data, std::uint32_t timeout = 10) {
  Answer a;
  std::uint32_t error = 0;
  host::DeviceHandle handle(h, h.OpenDevice(path.c_str(), host::kGenericRead, 3, error));
  if (!handle.valid()) {
    a.lastError = error;
    return a;
  }
  host::PassThroughRequest r;
  r.cdbLength = static_cast<std::uint8_t>(cdb.size());
  std::memcpy(r.cdb, cdb.data(), cdb.size());
  r.dataIn = in ? 1 : 0;
  r.dataTransferLength = static_cast<std::uint32_t>(data.size());
  r.dataBuffer = data.empty() ? nullptr : data.data();
  r.timeOutValue = timeout;
  a.ok = h.PassThrough(handle.get(), r, error);
  a.lastError = error;
  a.status = r.scsiStatus;
  a.transferred = r.dataTransferLength;
  return a;
}

std::vector<std::uint8_t> Rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t blocks) {
  return {op, 0, std::uint8_t(lba >> 24), std::uint8_t(lba >> 16), std::uint8_t(lba >> 8),
          std::uint8_t(lba), 0, std::uint8_t(blocks >> 8), std::uint8_t(blocks), 0};
}

std::string Describe(const Answer& a) {
  char text[96];
  std::snprintf(text, sizeof text, "(ok=%d lastError=%u status=0x%02x transferred=%u)", a.ok,
                a.lastError, a.status, a.transferred);
  return text;
}

struct Found {
  std::string bot, botCd, uas, debug;  // paths
  std::string botName;
  std::string botSg, botCdSg;  // their sg nodes
};

Found Discover(host::LinuxHost& linux) {
  Found f;
  for (host::InterfaceClass cls : {host::InterfaceClass::Disk, host::InterfaceClass::Cdrom}) {
    for (const host::BlockDevice& b : host::ScsiBlockDevices("", cls)) {
      const std::string path = host::DevicePath(b);
      const std::string vendor = Vendor(path);
      std::vector<std::string> mounts;
      std::string joined;
      if (device::GetMountPoints(path.c_str(), mounts))
        for (const std::string& m : mounts) joined += (joined.empty() ? "" : ",") + m;
      const std::string sg = b.sg ? b.sg->name : "";
      std::printf("DEVICE %s bus=%s sg=%s inquiry=%s mounts=%s\n", path.c_str(), BusName(b.bus),
                  sg.empty() ? "-" : sg.c_str(), vendor.c_str(), joined.empty() ? "-" : joined.c_str());
      const std::string driver = host::ReadSysText("", "/sys/block/" + b.name + "/device/max_sectors")
                                     ? "usb-storage" : "";
      if (vendor.rfind("Linux", 0) == 0) f.debug = path;
      else if (cls == host::InterfaceClass::Cdrom && b.bus == host::Bus::Usb) { f.botCd = path; f.botCdSg = sg; }
      else if (b.bus == host::Bus::Usb && !driver.empty()) { f.bot = path; f.botName = b.name; f.botSg = sg; }
      else if (b.bus == host::Bus::Usb) f.uas = path;
    }
  }
  (void)linux;
  return f;
}

int Checks() {
  host::LinuxHost linux;
  host::ScopedHost scope(linux);
  const Found f = Discover(linux);
  Check("discovery: usb-storage disk", !f.bot.empty(), f.bot);
  Check("discovery: usb-storage CD-ROM (LUN 1)", !f.botCd.empty(), f.botCd);
  Check("discovery: uas disk", !f.uas.empty(), f.uas);
  Check("discovery: scsi_debug disk", !f.debug.empty(), f.debug);
  Check("sg node of the usb-storage disk", !f.botSg.empty(), f.botSg);
  Check("sg node of the usb-storage CD-ROM", !f.botCdSg.empty(), f.botCdSg);
  Check("disk sequence number in the disk's path", f.bot.find("#diskseq=") != std::string::npos, f.bot);
  device::PathTable table = {};
  const int disks = device::EnumDiskDevices(table, true);
  const int cds = device::EnumCdromDevices(table, disks, true);
  std::string listed;
  for (int i = 0; i < disks + cds; ++i) listed += std::string(table[i]) + " ";
  Check("candidates: the USB devices only", disks == 2 && cds == 1 && listed.find(f.debug) == std::string::npos, listed);
  std::vector<std::string> mounts;
  Check("mount points of the usb-storage disk",
        device::GetMountPoints(f.bot.c_str(), mounts) && mounts == std::vector<std::string>{"/mnt/usb"});
  if (f.bot.empty() || f.uas.empty() || f.debug.empty()) return 1;

  std::vector<std::uint8_t> none;
  std::vector<std::uint8_t> block(512);
  // READ CAPACITY(10) for the last block of the scsi_debug disk.
  std::vector<std::uint8_t> cap(8);
  const Answer capacity = Send(linux.passThrough(), f.debug, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, cap);
  const std::uint32_t last = (cap[0] << 24) | (cap[1] << 16) | (cap[2] << 8) | cap[3];
  Check("READ CAPACITY(10)", capacity.ok && capacity.status == 0 && last > 0, Describe(capacity));
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const Answer w = Send(linux.passThrough(), f.debug, Rw10(0x2A, last, 1), false, block);
  std::vector<std::uint8_t> back(512);
  const Answer r = Send(linux.passThrough(), f.debug, Rw10(0x28, last, 1), true, back);
  Check("WRITE(10) then READ(10) round trip", w.ok && r.ok && w.status == 0 && r.status == 0 &&
        r.transferred == 512 && back == block, Describe(w) + " " + Describe(r));

  // A vendor block the emulated disk does not know: CHECK CONDITION through
  // the status, and the carrier fails.
  const Answer vendor = Send(linux.passThrough(), f.bot, {0xFF, 0x04, 0x54, 0x58, 0x55, 0, 0, 0, 0, 0, 0, 0}, false, none);
  Check("vendor block: CHECK CONDITION", vendor.ok && vendor.status == 0x02, Describe(vendor));
  Check("vendor block: carrier fails", device::EnterVendorMode(f.bot.c_str()).failed());

  // 1 MiB in one command: usb-storage after raising its limit; uas refused
  // with a note where its limit is lower.
  std::vector<std::uint8_t> mib(1 << 20);
  const auto hwKb = [&](const std::string& path) {
    std::string name; unsigned a, b;
    host::ParseDevicePath(path, name, a, b);
    const auto kb = host::ReadSysNumber("", "/sys/block/" + name + "/queue/max_hw_sectors_kb");
    return kb ? std::to_string(*kb) : std::string("?");
  };
  const std::string before = hwKb(f.bot);
  const Answer big = Send(linux.passThrough(), f.bot, Rw10(0x28, 0, 2048), true, mib);
  Check("1 MiB READ(10) on usb-storage", big.ok && big.status == 0 && big.transferred == (1u << 20),
        Describe(big) + " limit KiB " + before + " -> " + hwKb(f.bot));
  const std::string uasKb = hwKb(f.uas);
  const Answer bigUas = Send(linux.passThrough(), f.uas, Rw10(0x28, 0, 2048), true, mib);
  const bool uasFits = uasKb != "?" && std::stoul(uasKb) >= 1024;
  Check("1 MiB READ(10) on uas", uasFits ? bigUas.ok : (!bigUas.ok && bigUas.lastError == host::kErrorIoDevice),
        Describe(bigUas) + " limit KiB " + uasKb);

  // Without root, through the sg node as udev leaves it (group disk, mode
  // 660): a member of disk sends vendor blocks, anyone else is refused at the
  // open with a line naming the node and its group.
  const std::string sgNode = "/dev/" + f.botSg;
  if (chown(sgNode.c_str(), 0, 6) != 0 || chmod(sgNode.c_str(), 0660) != 0)
    std::printf("PROBE cannot set the group of %s\n", sgNode.c_str());
  const auto asUser = [&](uid_t uid, gid_t gid, bool member) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
      host::LinuxHost user(host::RealLinuxSys(), "", nullptr);
      std::vector<std::uint8_t> inq(36), nothing;
      const Answer i = Send(user.passThrough(), f.bot, {0x12, 0, 0, 0, 36, 0}, true, inq);
      const Answer v = Send(user.passThrough(), f.bot, {0xFF, 0x04, 0x54, 0x58, 0x55, 0, 0, 0, 0, 0, 0, 0}, false, nothing);
      const std::vector<host::UnreachableDevice> refused = user.discovery().TakeUnreachable();
      for (const host::UnreachableDevice& u : refused) std::printf("PROBE REFUSED %s\n", u.text.c_str());
      std::fflush(stdout);
      const bool ok = member ? i.ok && i.status == 0 && v.ok && v.status == 0x02 && refused.empty()
                             : !i.ok && i.lastError == host::kErrorAccessDenied && !refused.empty() &&
                                   refused[0].text.find(sgNode) != std::string::npos &&
                                   refused[0].text.find("group disk") != std::string::npos;
      _exit(ok ? 0 : 1);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
  };
  Check("a member of disk: INQUIRY and a vendor block reach the device through " + sgNode,
        asUser(1000, 6, true));
  Check("outside disk: refused at the open, the line names " + sgNode + " and group disk",
        asUser(65534, 65534, false));

  // scsi_debug ignoring every command: the host's time-out.
  host::WriteSysNumber("", "/sys/bus/pseudo/drivers/scsi_debug/every_nth", 1);
  host::WriteSysNumber("", "/sys/bus/pseudo/drivers/scsi_debug/opts", 4);
  std::vector<std::uint8_t> t(512);
  const auto started = std::chrono::steady_clock::now();
  const Answer timeout = Send(linux.passThrough(), f.debug, Rw10(0x28, 0, 1), true, t, 2);
  const long waitedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - started)
                                              .count());
  host::WriteSysNumber("", "/sys/bus/pseudo/drivers/scsi_debug/opts", 0);
  host::WriteSysNumber("", "/sys/bus/pseudo/drivers/scsi_debug/every_nth", 0);
  Check("time-out", !timeout.ok && timeout.lastError == host::kErrorSemTimeout,
        Describe(timeout) + " after " + std::to_string(waitedMs) + " ms (2 s asked)");

  std::printf("UNPLUG %s\n", f.bot.c_str());
  std::printf("PROBE DONE failed=%d\n", g_failed);
  return g_failed == 0 ? 0 : 1;
}

int AfterUnplug(const std::string& path) {
  host::LinuxHost linux;
  host::ScopedHost scope(linux);
  std::uint32_t error = 0;
  const host::Handle h = linux.passThrough().OpenDevice(path.c_str(), host::kGenericRead, 3, error);
  Check("unplugged: the old path is not found", h == host::kInvalidHandle && error == host::kErrorFileNotFound,
        "lastError=" + std::to_string(error));
  if (h != host::kInvalidHandle) linux.passThrough().CloseDevice(h);
  device::PathTable table = {};
  const int disks = device::EnumDiskDevices(table, true);
  Check("unplugged: one USB disk left", disks == 1, std::to_string(disks));
  std::printf("PROBE DONE failed=%d\n", g_failed);
  return g_failed == 0 ? 0 : 1;
}

// Another disk plugged in where the unplugged one was: the old path, whose
// name and device number the new disk may well have taken, names it no more.
int AfterReplug(const std::string& oldPath) {
  host::LinuxHost linux;
  host::ScopedHost scope(linux);
  host::DeviceId old;
  host::ParseDevicePath(oldPath, old);
  std::string now;
  for (const host::BlockDevice& b : host::ScsiBlockDevices("", host::InterfaceClass::Disk))
    if (b.bus == host::Bus::Usb && host::ReadSysText("", "/sys/block/" + b.name + "/device/max_sectors"))
      now = host::DevicePath(b);
  Check("replug: the new usb-storage disk is listed", !now.empty(), now);
  host::DeviceId id;
  host::ParseDevicePath(now, id);
  const bool sameNumber = id.name == old.name && id.major == old.major && id.minor == old.minor;
  std::printf("REPLUG %s -> %s (%s name and number)\n", oldPath.c_str(), now.c_str(),
              sameNumber ? "same" : "another");
  std::uint32_t error = 0;
  const bool held = linux.runLocks().BeginRun(oldPath.c_str(), error);
  Check("replug: a run on the old path fails closed", !held && error == host::kErrorFileNotFound,
        "lastError=" + std::to_string(error));
  if (held) linux.runLocks().EndRun(oldPath.c_str());
  std::vector<std::uint8_t> inq(36);
  const Answer fresh = Send(linux.passThrough(), now, {0x12, 0, 0, 0, 36, 0}, true, inq);
  Check("replug: the new path opens", fresh.ok && fresh.status == 0, Describe(fresh));
  std::printf("PROBE DONE failed=%d\n", g_failed);
  return g_failed == 0 ? 0 : 1;
}

// The emulated bridge behind dummy_hcd: its disk found as USB, a vendor block
// it does not know fails through the SCSI status (the kernel then fetches the
// sense with REQUEST SENSE, seen in the enclosure's log), one it knows passes,
// and a 1 MiB transfer goes through.
int Gadget() {
  host::LinuxHost linux;
  host::ScopedHost scope(linux);
  std::string path;
  for (const host::BlockDevice& b : host::ScsiBlockDevices("", host::InterfaceClass::Disk))
    if (b.bus == host::Bus::Usb && Vendor(host::DevicePath(b)).rfind("Tavrion", 0) == 0)
      path = host::DevicePath(b);
  Check("gadget: the emulated enclosure is a USB disk", !path.empty(), path);
  if (path.empty()) return 1;
  std::vector<std::uint8_t> none;
  const Answer unknown = Send(linux.passThrough(), path, {0xFF, 0x04, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, none);
  Check("gadget: unknown vendor block gives CHECK CONDITION", unknown.ok && unknown.status == 0x02,
        Describe(unknown));
  const Answer enter = Send(linux.passThrough(), path, {0xFF, 0x04, 0x54, 0x58, 0x55, 0, 0, 0, 0, 0, 0, 0}, false, none);
  const Answer leave = Send(linux.passThrough(), path, {0xFF, 0x04, 0x54, 0x58, 0xAA, 0, 0, 0, 0, 0, 0, 0}, false, none);
  Check("gadget: vendor mode pair passes", enter.ok && enter.status == 0 && leave.ok && leave.status == 0,
        Describe(enter) + " " + Describe(leave));
  // The procedures' largest commands: 1 MiB in one data phase, past
  // usb-storage's default limit, which the host raises for it.
  std::vector<std::uint8_t> mib(1 << 20);
  const Answer big = Send(linux.passThrough(), path, Rw10(0x28, 0, 2048), true, mib);
  Check("gadget: 1 MiB READ(10) in one command", big.ok && big.status == 0 && big.transferred == (1u << 20),
        Describe(big));
  std::printf("PROBE DONE failed=%d\n", g_failed);
  return g_failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "checks") return Checks();
  if (mode == "unplug" && argc > 2) return AfterUnplug(argv[2]);
  if (mode == "replug" && argc > 2) return AfterReplug(argv[2]);
  if (mode == "gadget") return Gadget();
  std::fprintf(stderr, "usage: guest_probe checks | unplug PATH | replug PATH | gadget\n");
  return 2;
}
