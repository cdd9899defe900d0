// A console for output tests: the write end of a pipe to hand to the product, and
// everything written so far taken from the read end without blocking.
#pragma once

#include <string>

namespace vl::testing {

class PipeConsole {
 public:
  PipeConsole();
  ~PipeConsole();
  PipeConsole(const PipeConsole&) = delete;
  PipeConsole& operator=(const PipeConsole&) = delete;
  int fd() const { return fds_[1]; }
  // What was written since the last take. The pipe holds at most 64 KiB.
  std::string take();

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace vl::testing
