// "/bin/pellu" of the virtual board's demo system: the installed system's post-install
// step. The installer runs it under the root "/flash" with its output on "/dev/null", so
// it leaves its trace on the flash: "/rw/postinstall" holds its arguments and the files
// it found, which the check boot prints.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string text = "pellu ran:";
  for (int i = 0; i < argc; ++i) text += std::string(" ") + argv[i];
  struct stat st {};
  text += stat("/var/pdb", &st) == 0 ? "\ndatabase present\n" : "\ndatabase missing\n";
  int fd = open("/rw/postinstall", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok ? 0 : 1;
}
