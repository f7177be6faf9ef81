// A simulated machine installed as the current host for one test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/bridge_chip.h"
#include "sim/enclosure.h"
#include "sim/machine.h"
#include "sim/profiles.h"

namespace testing_support {

// Bytes that differ from their neighbours, so a slipped or repeated word in
// what the emulation stores shows.
inline std::vector<std::uint8_t> StepPattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

class SimFixtureBase {
 public:
  // Tests look at whole runs: the machine keeps every request.
  SimFixtureBase() : scope_(machine) { machine.SetTranscriptLimit(sim::kFullTranscript); }

  // Attaches a plain enclosure and returns its path.
  std::string AttachUsb(const std::string& product, std::uint32_t diskNumber,
                        std::vector<sim::Volume> volumes = {},
                        host::InterfaceClass cls = host::InterfaceClass::Disk) {
    sim::Attachment a;
    a.interfaceClass = cls;
    a.path = cls == host::InterfaceClass::Disk ? sim::UsbDiskPath("Tavrion", product, product)
                                               : sim::UsbCdromPath("Tavrion", product, product);
    a.number = {cls == host::InterfaceClass::Disk ? 7u : 2u, diskNumber, 0};
    a.volumes = std::move(volumes);
    a.device = std::make_shared<sim::Enclosure>("Tavrion", product, "0100");
    machine.Attach(a);
    return a.path;
  }

  // Attaches an enclosure of the named profile; null, and a failed test,
  // when no profile has that name.
  std::shared_ptr<sim::BridgeChip> AttachNamedProfile(const std::string& name,
                                                      const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = sim::FindProfile(name);
    EXPECT_NE(nullptr, profile) << name;
    if (profile == nullptr) return nullptr;
    return sim::AttachProfile(machine, *profile, options);
  }

  sim::Machine machine;

 private:
  host::ScopedHost scope_;
};

}  // namespace testing_support
