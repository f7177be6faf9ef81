#include "sim/demo.h"

#include <memory>

#include "sim/enclosure.h"

namespace sim {

void AttachDemoEnclosures(Machine& machine) {
  machine.AddSystemDisk("\\\\?\\ide#diskst3500418as#5&1b2c3d4e&0&0.0.0#"
                        "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  machine.AddNetworkDrive('Z');

  Attachment usb;
  usb.path = UsbDiskPath("Tavrion", "TX40775", "0000000001");
  usb.number = {7, 1, 0};
  usb.volumes = {{'E', 1}, {'F', 2}};
  usb.device = std::make_shared<Enclosure>("Tavrion", "TX40775 Disk", "0100");
  machine.Attach(usb);

  Attachment fw;
  fw.path = Sbp2DiskPath("Tavrion", "TX40771", "0000000002");
  fw.number = {7, 2, 0};
  fw.volumes = {{'G', 1}};
  fw.device = std::make_shared<Enclosure>("Tavrion", "TX40771 1394", "0100");
  machine.Attach(fw);

  Attachment cd;
  cd.interfaceClass = host::InterfaceClass::Cdrom;
  cd.path = UsbCdromPath("Tavrion", "TX40776", "0000000003");
  cd.number = {2, 0, 0};  // FILE_DEVICE_CD_ROM
  cd.volumes = {{'H', 0}};
  cd.device = std::make_shared<Enclosure>("Tavrion", "TX40776 CD", "0100");
  machine.Attach(cd);
}

}  // namespace sim
