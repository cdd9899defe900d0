// A program of the board: "/sbin/nandfix" of the boot image, "/bin/pellu" of the
// installed system. It leaves its arguments in "/<name>.ran" and ends with the status
// written in "/<name>.status" (0 when there is none), a second later when "/<name>.slow"
// exists.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const char* slash = std::strrchr(argv[0], '/');
  const std::string name = slash != nullptr ? slash + 1 : argv[0];
  if (std::FILE* ran = std::fopen(("/" + name + ".ran").c_str(), "w")) {
    for (int i = 1; i < argc; ++i) std::fprintf(ran, "%s%s", i > 1 ? " " : "", argv[i]);
    std::fclose(ran);
  }
  if (std::FILE* slow = std::fopen(("/" + name + ".slow").c_str(), "r")) {
    std::fclose(slow);
    ::sleep(1);
  }
  int status = 0;
  if (std::FILE* chosen = std::fopen(("/" + name + ".status").c_str(), "r")) {
    if (std::fscanf(chosen, "%d", &status) != 1) status = 0;
    std::fclose(chosen);
  }
  return status;
}
