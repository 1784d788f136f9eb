#include "error.h"

namespace korvane {

std::int32_t errCode(Error e) noexcept {
  switch (e) {
    case Error::DuplicateId:
      return -2;
    case Error::DimensionMismatch:
      return -3;
    default:
      return -1;
  }
}

}  // namespace korvane
