// The main of the test programs that need umockdev's fake sysfs and /dev:
// they exist only under its wrapper, so a program started without it starts
// itself again there.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
  const char* preload = getenv("LD_PRELOAD");
  if (!preload || !strstr(preload, "libumockdev-preload")) {
    std::vector<char*> args = {const_cast<char*>("umockdev-wrapper")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    perror("portvane tests: umockdev-wrapper");
    return 1;
  }
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
