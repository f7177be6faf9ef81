// What a user does with the window, driven on the current host: the start-up
// refresh, then for each entry selecting it, choosing an image and pressing
// Run where the window enables it. Shared by the device-reply target and the
// seed maker so that a recorded seed replays the same calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

// The image files the driver chooses from: matching images of each chip type
// (index = type - 1), written once per process.
const std::vector<std::string>& DriveImages();

// options: bits 0-4 choose the image (added to the entry index), bit 7 makes
// every run a backup-only run to a scratch file.
void DriveWindow(std::uint8_t options);

}  // namespace fuzzing
