#include "sim/demo.h"

#include "sim/profiles.h"

namespace sim {

namespace {
void AttachNamed(Machine& machine, const char* name, std::uint32_t disk,
                 std::vector<Volume> volumes, bool cdrom = false) {
  const EnclosureProfile* profile = FindProfile(name);
  if (profile == nullptr) return;
  AttachOptions options;
  options.diskNumber = disk;
  options.volumes = std::move(volumes);
  options.asCdrom = cdrom;
  AttachProfile(machine, *profile, options);
}
}  // namespace

void AttachDemoEnclosures(Machine& machine) {
  machine.AddSystemDisk(
      "\\\\?\\ide#diskst3500418as#5&1b2c3d4e&0&0.0.0#"
      "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  machine.AddNetworkDrive('Z');

  // A serial-flash bridge, an IEEE 1394 bridge, a parallel-flash bridge and a
  // storage controller with two firmware banks, and a bridge seen as a CD-ROM.
  AttachNamed(machine, "tx40775-pmc", 1, {{'E', 1}, {'F', 2}});
  AttachNamed(machine, "txr843-1394", 2, {{'G', 1}});
  AttachNamed(machine, "tx40776-atmel", 3, {{'H', 1}});
  AttachNamed(machine, "txv929", 4, {{'I', 1}});
  AttachNamed(machine, "txr842", 0, {{'J', 0}}, true);
}

}  // namespace sim
