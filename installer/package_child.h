// One package file installed by a child process that reads it from a pipe while the
// sequence receives it: the child's journal keeps a broken or refused package off the
// flash, and its end is the end of everything the package opened.
#pragma once

#include <string>

#include "installer/board_queries.h"
#include "packages/install.h"
#include "streams/stream.h"

namespace vl {

// Forks the child; input then writes the package into it. False (nothing started) when
// a child is still running or no pipe or process can be made.
// driver answers the planner's board questions.
[[nodiscard]] bool startPackageChild(const UserChoices& choices, const std::string& architecture,
                                     FlashDriver& driver, FdStream& input);

// Ends the child's input and waits for it: its raw wait status, or -1 when there is no
// child or it cannot be waited for.
int finishPackageChild(FdStream& input);

}  // namespace vl
