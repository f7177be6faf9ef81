#include "engine/settings.h"

namespace program {

TransferSettings& Transfer() {
  static TransferSettings settings;
  return settings;
}

EraseGeometry& Geometry() {
  static EraseGeometry geometry;
  return geometry;
}

}  // namespace program
