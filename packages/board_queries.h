// The board questions that the package filter asks: which releases the board accepts
// and what its flash is like. The board's drivers answer them (installer/); tests give
// chosen answers.
#pragma once

#include "packages/version.h"

namespace vl {

class BoardQueries {
 public:
  virtual ~BoardQueries() = default;
  // Lowest system release the board accepts; 0 when it sets no bound.
  virtual Version boardMinVersion() const = 0;
  // Capability bit 0x1000 of the flash driver (boards with the newer flash controller).
  virtual bool boardHasFlag1000() const = 0;
  // The first MTD partition has 256 KiB erase blocks.
  virtual bool mtd0HasLargeEraseBlocks() const = 0;
};

}  // namespace vl
