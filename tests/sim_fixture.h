// A simulated machine installed as the current host for one test.
#pragma once

#include <memory>
#include <string>

#include "host/host.h"
#include "sim/enclosure.h"
#include "sim/machine.h"

namespace testing_support {

class SimFixtureBase {
 public:
  SimFixtureBase() : scope_(machine) {}

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

  sim::Machine machine;

 private:
  host::ScopedHost scope_;
};

}  // namespace testing_support
