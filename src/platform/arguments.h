// The command line as UTF-8 texts, whatever the platform hands the program.
#pragma once

#include <string>
#include <vector>

/// The program's arguments, argv[0] included, each as UTF-8.
std::vector<std::string> program_arguments(int argc, char** argv);
