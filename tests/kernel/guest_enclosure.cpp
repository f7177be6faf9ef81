// Runs inside a qemu guest with a real kernel: an emulated enclosure behind
// the kernel's USB gadget stack. Given a FunctionFS mount it declares a USB
// mass-storage Bulk-Only interface and answers each command block the host's
// usb-storage driver sends with the simulated bridge chip and its disk, so the
// console on that kernel reaches the chip through SG_IO, usb-storage and a
// USB bus (dummy_hcd) like a real enclosure. With TX_ENCLOSURE_CDROM=1 the
// same chip also presents a CD-ROM unit without a disc as LUN 1, as bridges
// that carry an optical drive or a virtual CD do.
//
//   guest_enclosure ids PROFILE        prints the chip's USB vendor and product ids
//   guest_enclosure serve DIR PROFILE  serves on the FunctionFS mounted at DIR;
//                                      one line per command block to stdout
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine.h"
#include "sim/profiles.h"

namespace {

constexpr std::uint64_t kDiskSectors = 0x8000;  // 16 MiB: room for a small file system
constexpr std::size_t kChunk = 64 * 1024;       // bytes per endpoint read or write
// More than any command of the utility or the disk driver moves; a wrapper
// asking more is answered with a phase error instead of a huge allocation.
constexpr std::uint32_t kMaxTransfer = 16 * 1024 * 1024;
constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kMassStorageReset = 0xFF;

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// One Bulk-Only interface (class 8, SCSI transparent, bulk-only) with a bulk-in
// and a bulk-out endpoint, at full and at high speed.
std::vector<std::uint8_t> Descriptors() {
  std::vector<std::uint8_t> speeds;
  for (std::uint16_t packet : {64, 512}) {
    const std::uint8_t interface[9] = {9, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_MASS_STORAGE,
                                       0x06, 0x50, 1};
    speeds.insert(speeds.end(), interface, interface + 9);
    for (std::uint8_t address : {std::uint8_t(1 | USB_DIR_IN), std::uint8_t(2 | USB_DIR_OUT)}) {
      const std::uint8_t endpoint[7] = {7, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK,
                                        static_cast<std::uint8_t>(packet),
                                        static_cast<std::uint8_t>(packet >> 8), 0};
      speeds.insert(speeds.end(), endpoint, endpoint + 7);
    }
  }
  std::vector<std::uint8_t> out;
  PutLe(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2, 4);
  PutLe(out, static_cast<std::uint32_t>(20 + speeds.size()), 4);
  PutLe(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC, 4);
  PutLe(out, 3, 4);  // full speed: interface and two endpoints
  PutLe(out, 3, 4);  // high speed
  out.insert(out.end(), speeds.begin(), speeds.end());
  return out;
}

std::vector<std::uint8_t> Strings() {
  const char name[] = "Bulk-Only Transport";
  std::vector<std::uint8_t> out;
  PutLe(out, FUNCTIONFS_STRINGS_MAGIC, 4);
  PutLe(out, static_cast<std::uint32_t>(16 + 2 + sizeof name), 4);
  PutLe(out, 1, 4);  // strings
  PutLe(out, 1, 4);  // languages
  PutLe(out, 0x0409, 2);
  out.insert(out.end(), name, name + sizeof name);
  return out;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, std::min(length, kChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = read(fd, data, std::min(length, kChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// How the CD-ROM unit answers a command block, by operation code: the
// chip's own commands (vendor ones from C0h up) reach the chip; those that
// need a disc find none; the rest, the disk's and the drive's probes (MODE
// SENSE, GET CONFIGURATION, ...), are refused, which leaves sr a plain
// read-only drive.
enum class CdromRoute { Chip, NoMedium, Refused };

CdromRoute RouteOnCdrom(std::uint8_t op) {
  switch (op) {
    case 0x12: case 0x03: case 0x1E: case 0x1B:  // INQUIRY, REQUEST SENSE, PREVENT, START STOP
      return CdromRoute::Chip;
    case 0x00: case 0x25: case 0x28: case 0x2A: case 0x35: case 0x43:  // TUR, capacity, I/O, TOC
    case 0x88: case 0x8A: case 0x9E: case 0xA8: case 0xBE:
      return CdromRoute::NoMedium;
    default:
      return op >= 0xC0 ? CdromRoute::Chip : CdromRoute::Refused;
  }
}

// Sense data waiting for the REQUEST SENSE that usb-storage sends after a
// CHECK CONDITION on the same unit.
struct PendingSense {
  bool due = false;
  unsigned key = 0, code = 0, qualifier = 0;
};

// ep0: the two Bulk-Only class requests; anything else asked of the function
// is stalled (by I/O in the direction opposite to the request's).
void ServeControl(int ep0, std::uint8_t lastLun) {
  usb_functionfs_event events[4];
  for (;;) {
    const ssize_t n = read(ep0, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      if (events[i].type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& setup = events[i].u.setup;
      const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
      const bool classRequest = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS;
      if (classRequest && in && setup.bRequest == kGetMaxLun) {
        if (write(ep0, &lastLun, 1) != 1) std::fprintf(stderr, "enclosure: Get Max LUN failed\n");
      } else if (classRequest && !in && setup.bRequest == kMassStorageReset) {
        if (read(ep0, nullptr, 0) != 0) std::fprintf(stderr, "enclosure: reset ack failed\n");
      } else if (in) {
        if (read(ep0, nullptr, 0) >= 0) std::fprintf(stderr, "enclosure: stall not taken\n");
      } else {
        if (write(ep0, nullptr, 0) >= 0) std::fprintf(stderr, "enclosure: stall not taken\n");
      }
    }
  }
}

const sim::EnclosureProfile* ProfileWithDisk(const std::string& name,
                                             sim::EnclosureProfile& copy) {
  const sim::EnclosureProfile* found = sim::FindProfile(name);
  if (found == nullptr) return nullptr;
  copy = *found;
  if (copy.disk.sectors == 0) copy.disk.sectors = kDiskSectors;
  return &copy;
}

int Serve(const std::string& dir, const sim::EnclosureProfile& profile) {
  const int ep0 = open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (ep0 < 0) {
    std::perror("enclosure: ep0");
    return 1;
  }
  const std::vector<std::uint8_t> descriptors = Descriptors();
  const std::vector<std::uint8_t> strings = Strings();
  if (!WriteAll(ep0, descriptors.data(), descriptors.size()) ||
      !WriteAll(ep0, strings.data(), strings.size())) {
    std::perror("enclosure: descriptors");
    return 1;
  }
  // Endpoint files exist once the descriptors are taken, numbered in their order.
  const int in = open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
  const int out = open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
  if (in < 0 || out < 0) {
    std::perror("enclosure: endpoints");
    return 1;
  }
  // Control requests may come while the bulk loop waits for a command block.
  const char* cdromOption = std::getenv("TX_ENCLOSURE_CDROM");
  const bool cdrom = cdromOption != nullptr && std::string(cdromOption) == "1";
  std::thread control(ServeControl, ep0, static_cast<std::uint8_t>(cdrom ? 1 : 0));
  control.detach();

  sim::Machine machine;
  sim::AttachOptions options;
  options.serial = "GADGET1";
  sim::AttachProfile(machine, profile, options);
  const std::string path = sim::ProfilePath(profile, options.serial);
  std::uint32_t error = 0;
  host::Handle handle = host::kInvalidHandle;
  // The chip's busy times run on the machine's clock: keep it with real time.
  const auto started = std::chrono::steady_clock::now();
  // TX_ENCLOSURE_STALL="NAME N SECONDS": the Nth command named NAME is
  // answered that much later, as an enclosure that hangs past a time-out.
  std::string stallName;
  int stallAt = 0, stallSeconds = 0;
  if (const char* stall = std::getenv("TX_ENCLOSURE_STALL")) {
    char name[64] = {};
    if (std::sscanf(stall, "%63s %d %d", name, &stallAt, &stallSeconds) == 3) stallName = name;
  }
  // TX_ENCLOSURE_CHECK="PATTERN;N;KEY/ASC/ASCQ": the Nth command block
  // matching PATTERN ("FF 04 11" for WriteFlash) is answered CHECK
  // CONDITION through the machine's own fault, unexecuted, and the REQUEST
  // SENSE that follows gets that sense (hex, "05/2C/00").
  sim::CdbPattern checkPattern;
  unsigned senseKey = 0, senseCode = 0, senseQualifier = 0;
  PendingSense pending[2];  // by LUN
  if (const char* check = std::getenv("TX_ENCLOSURE_CHECK")) {
    const std::string text = check;
    const std::size_t semi = text.find(';');
    int occurrence = 0;
    if (semi != std::string::npos &&
        std::sscanf(text.c_str() + semi + 1, "%d;%x/%x/%x", &occurrence, &senseKey, &senseCode,
                    &senseQualifier) == 4) {
      checkPattern = sim::CdbPattern(text.substr(0, semi));
      sim::CommandFault fault;
      fault.kind = sim::CommandFault::Kind::CheckCondition;
      fault.pattern = checkPattern;
      fault.occurrence = occurrence;
      machine.AddFault(fault);
    }
  }
  std::printf("ENCLOSURE READY %s%s\n", path.c_str(), cdrom ? " with a CD-ROM unit" : "");
  std::fflush(stdout);

  std::vector<std::uint8_t> data;
  for (;;) {
    std::uint8_t cbw[31];
    const ssize_t got = read(out, cbw, sizeof cbw);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {  // the host is not (or no longer) configured: wait for it
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (got != 31 || std::memcmp(cbw, "USBC", 4) != 0 || cbw[14] < 1 || cbw[14] > 16) {
      std::printf("ENCLOSURE bad command block wrapper (%zd bytes)\n", got);
      std::fflush(stdout);
      continue;
    }
    const std::uint32_t length = Le32(cbw + 8);
    const bool dataIn = (cbw[12] & 0x80) != 0;
    const unsigned lun = cbw[13] & 0x0F;
    // The CD-ROM unit's lines apart, so the disk's counts stay as they were.
    const std::string unitText = lun == 0 ? "" : "LUN" + std::to_string(lun) + " ";
    const char* unit = unitText.c_str();
    std::uint8_t csw[13] = {'U', 'S', 'B', 'S'};
    std::memcpy(csw + 4, cbw + 4, 4);  // the tag
    if (length > kMaxTransfer) {
      std::printf("ENCLOSURE CMD %02X - %u phase-error\n", cbw[15], length);
      std::fflush(stdout);
      std::memcpy(csw + 8, cbw + 8, 4);  // nothing moved
      csw[12] = 2;
      WriteAll(in, csw, sizeof csw);
      continue;
    }
    data.assign(length, 0);
    if (!dataIn && length > 0 && !ReadAll(out, data.data(), length)) continue;

    const auto now = std::chrono::steady_clock::now() - started;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    if (static_cast<std::uint64_t>(ms) > machine.NowMs())
      machine.AdvanceMs(static_cast<std::uint64_t>(ms) - machine.NowMs());
    if (handle == host::kInvalidHandle)  // again after a chip reset left the bus
      handle = machine.OpenDevice(path.c_str(), host::kGenericRead | host::kGenericWrite, 3, error);
    const CdromRoute route = lun == 0 ? CdromRoute::Chip
                             : lun == 1 && cdrom ? RouteOnCdrom(cbw[15])
                                                 : CdromRoute::Refused;
    if (lun < 2 && pending[lun].due && cbw[15] == 0x03 && dataIn) {
      const PendingSense s = pending[lun];
      pending[lun].due = false;
      const std::uint8_t sense[18] = {0x70, 0, static_cast<std::uint8_t>(s.key), 0, 0, 0, 0, 10,
                                      0, 0, 0, 0, static_cast<std::uint8_t>(s.code),
                                      static_cast<std::uint8_t>(s.qualifier)};
      const std::uint32_t n = std::min<std::uint32_t>({length, cbw[19], sizeof sense});
      std::memcpy(data.data(), sense, n);
      std::printf("ENCLOSURE %sCMD 03 RequestSense %u good sense %02X/%02X/%02X\n", unit, length,
                  s.key, s.code, s.qualifier);
      std::fflush(stdout);
      WriteAll(in, data.data(), length);
      const std::uint32_t rest = length - n;
      for (int i = 0; i < 4; ++i) csw[8 + i] = static_cast<std::uint8_t>(rest >> (8 * i));
      WriteAll(in, csw, sizeof csw);
      continue;
    }
    if (route != CdromRoute::Chip) {  // answered by the unit, unexecuted
      const bool noMedium = route == CdromRoute::NoMedium;
      // MEDIUM NOT PRESENT, INVALID COMMAND OPERATION CODE, or for a LUN the
      // bridge does not have, LOGICAL UNIT NOT SUPPORTED.
      const PendingSense s{true, noMedium ? 0x02u : 0x05u,
                           noMedium ? 0x3Au : lun == 1 && cdrom ? 0x20u : 0x25u, 0};
      if (lun < 2) pending[lun] = s;
      std::printf("ENCLOSURE %sCMD %02X - %u check %s\n", unit, cbw[15], length,
                  noMedium ? "no-medium" : "refused");
      std::fflush(stdout);
      if (dataIn && length > 0) {
        std::fill(data.begin(), data.end(), 0);
        if (!WriteAll(in, data.data(), length)) continue;
      }
      std::memcpy(csw + 8, cbw + 8, 4);  // nothing moved
      csw[12] = 1;
      WriteAll(in, csw, sizeof csw);
      continue;
    }
    host::PassThroughRequest request;
    request.cdbLength = cbw[14];
    std::memcpy(request.cdb, cbw + 15, cbw[14]);
    request.dataIn = dataIn ? 1 : 0;
    request.dataTransferLength = length;
    request.dataBuffer = length > 0 ? data.data() : nullptr;
    request.timeOutValue = 30;
    const bool passed = handle != host::kInvalidHandle && machine.PassThrough(handle, request, error);
    if (!passed && handle != host::kInvalidHandle) {
      machine.CloseDevice(handle);
      handle = host::kInvalidHandle;
    }
    const bool good = passed && request.scsiStatus == 0;
    const std::uint32_t moved = passed ? std::min(request.dataTransferLength, length) : 0;
    const std::string name = machine.transcript().empty() ? "" : machine.transcript().back().command;
    const bool faulted = !checkPattern.empty() && !machine.transcript().empty() &&
                         name.empty() && checkPattern.Matches(cbw + 15, cbw[14]) &&
                         machine.transcript().back().outcome == sim::Outcome::CheckCondition;
    machine.ClearTranscript();
    if (faulted) pending[lun] = PendingSense{true, senseKey, senseCode, senseQualifier};
    // The chip's standard answer with the CD-ROM unit's device type (5).
    if (lun == 1 && good && cbw[15] == 0x12 && (cbw[16] & 0x01) == 0 && moved > 0) data[0] = 0x05;
    std::printf("ENCLOSURE %sCMD %02X %s %u %s%s\n", unit, cbw[15],
                name.empty() ? "-" : name.c_str(), length, good ? "good" : "check",
                faulted ? " injected" : "");
    std::fflush(stdout);
    if (!stallName.empty() && name == stallName && --stallAt == 0) {
      std::printf("ENCLOSURE STALL %s %d s\n", name.c_str(), stallSeconds);
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::seconds(stallSeconds));
    }

    // Data the device did not produce is padded; the residue tells the host.
    if (dataIn && length > 0) {
      std::fill(data.begin() + moved, data.end(), 0);
      if (!WriteAll(in, data.data(), length)) continue;
    }
    const std::uint32_t residue = length - moved;
    for (int i = 0; i < 4; ++i) csw[8 + i] = static_cast<std::uint8_t>(residue >> (8 * i));
    csw[12] = good ? 0 : 1;
    WriteAll(in, csw, sizeof csw);  // a failure shows as the host's time-out
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  sim::EnclosureProfile copy;
  if (args.size() == 2 && args[0] == "ids") {
    const sim::EnclosureProfile* profile = ProfileWithDisk(args[1], copy);
    if (profile == nullptr) return 2;
    const auto& info = profile->bridge.chipInfo;  // bytes 2-3 vendor, 4-5 product
    std::printf("0x%02x%02x 0x%02x%02x\n", info[2], info[3], info[4], info[5]);
    return 0;
  }
  if (args.size() == 3 && args[0] == "serve") {
    const sim::EnclosureProfile* profile = ProfileWithDisk(args[2], copy);
    if (profile != nullptr) return Serve(args[1], *profile);
  }
  std::fprintf(stderr, "usage: guest_enclosure ids PROFILE | serve FUNCTIONFS_DIR PROFILE\n");
  return 2;
}
