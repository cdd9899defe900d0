#include "tests/support/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vl::testing {

PipeConsole::PipeConsole() {
  EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
  EXPECT_EQ(::fcntl(fds_[0], F_SETFL, O_NONBLOCK), 0);
}

PipeConsole::~PipeConsole() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

std::string PipeConsole::take() {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace vl::testing
