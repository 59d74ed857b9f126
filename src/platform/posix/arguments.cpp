// The command line on POSIX systems, where argv already holds the bytes the user typed.
#include "platform/arguments.h"

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
