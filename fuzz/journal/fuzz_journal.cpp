// Any change listing either is refused or reads into entries whose listing, written and
// read again, gives the same entries and the same text.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "packages/journal.h"

namespace {

// The listing's file: memory only, reached by path as the journal wants it.
const std::string& listingPath() {
  static const std::string path = "/proc/self/fd/" + std::to_string(::memfd_create("listing", 0));
  return path;
}

std::string readBack() {
  vl::FdStream in = vl::FdStream::openRead(listingPath());
  std::vector<std::uint8_t> bytes;
  if (!in.isOpen() || !vl::readAll(in, bytes)) std::abort();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  vl::FdStream out = vl::FdStream::openWrite(listingPath(), O_TRUNC, 0600);
  if (out.write(data, size) < 0 || !out.close()) std::abort();
  vl::ChangeJournal first;
  // An empty line ends a listing with success, even before any entry.
  if (!first.readListing(listingPath()) || first.empty()) return 0;
  if (!first.writeListing(listingPath())) std::abort();
  const std::string text = readBack();
  vl::ChangeJournal second;
  if (!second.readListing(listingPath()) || second.entries() != first.entries()) std::abort();
  if (!second.writeListing(listingPath()) || readBack() != text) std::abort();
  return 0;
}
