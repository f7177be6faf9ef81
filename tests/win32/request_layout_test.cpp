// The device layer's request values against the SDK's own definitions,
// checked when the Windows build compiles (the SDK's x86_64 record layout is
// checked beside the host that sends it).
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

#include "scsi/passthrough.h"
#include "host/host.h"

static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == device::kIoctlScsiPassThroughDirect);
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == device::kIoctlStorageGetDeviceNumber);
static_assert(SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_OUT == 0);
static_assert(sizeof(host::PassThroughRequest::cdb) == sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb));
static_assert(sizeof(host::DeviceNumber) == sizeof(STORAGE_DEVICE_NUMBER));
// The sense offset the carriers name stays inside the record and its
// padded allocation, whichever layout the build has.
static_assert(device::kSenseInfoOffset + 16 <= device::kRequestAllocation);
// The data buffer starts on a boundary that satisfies any adapter's
// AlignmentMask (at most a page), as a direct transfer requires.
static_assert((device::kPadAlignment & (device::kPadAlignment - 1)) == 0);
static_assert(device::kPadAlignment >= 4096);
static_assert(device::kPadAlignment % alignof(std::max_align_t) == 0);
