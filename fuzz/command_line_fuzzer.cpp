// Fuzzes the option reader: arguments made from the input (split at NUL bytes) must never
// crash it, and every text it keeps must come from one of them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "client/run/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"quonfetch"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  Settings options;
  read_options(args, options);
  bool enough = options_sufficient(options);

  // Every text read is one of the arguments (the output folder possibly without its closing
  // quote), and enough options always include a relay.
  auto is_arg = [&](const std::optional<std::string>& text) {
    if (!text) return true;
    for (const auto& arg : args)
      if (arg == *text || arg == *text + "\"") return true;
    return false;
  };
  if (!is_arg(options.relay) || !is_arg(options.list_path) || !is_arg(options.sha1) ||
      !is_arg(options.sha256) || !is_arg(options.size) || !is_arg(options.url) ||
      !is_arg(options.log_path) || !is_arg(options.output_dir))
    __builtin_trap();
  if (enough && !options.relay) __builtin_trap();
  return 0;
}
