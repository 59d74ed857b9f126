// The command line: options into Settings, their validation, and the usage text.
#include "client/run/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/output/log.h"
#include "common/version.h"
#include "platform/console.h"
#include "platform/file_names.h"
#include "platform/files.h"

namespace {

// atoi's reading of a number (leading blanks, a sign, digits, anything after ignored, 0 when no
// number begins the text), kept inside the 32-bit range where atoi itself would be undefined.
int32_t to_int(const std::string& text) {
  errno = 0;
  long long value = strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

void read_options(const std::vector<std::string>& args, Settings& out) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-d") {
      out.verbose = true;
      continue;
    }
    if (arg == "-c") {
      out.keep_partial = true;
      continue;
    }
    // Every other option takes the next argument as its value, whatever it looks like; standing
    // last, it has none and is skipped like any unknown argument.
    if (i + 1 >= args.size()) continue;
    const std::string& value = args[i + 1];
    if (arg == "-r") {
      out.relay = value;
    } else if (arg == "-p") {
      out.port = to_int(value);
    } else if (arg == "-f") {
      out.list_path = value;
    } else if (arg == "-s") {
      out.sha1 = value;
    } else if (arg == "-q") {
      out.sha256 = value;
    } else if (arg == "-z") {
      out.size = value;
    } else if (arg == "-u") {
      out.url = value;
    } else if (arg == "-l") {
      out.log_path = value;
    } else if (arg == "-o") {
      // Drops one closing double quote, which a shell on some systems leaves behind after a
      // quoted path that ends in a backslash.
      std::string dir = value;
      if (!dir.empty() && dir.back() == '"') dir.pop_back();
      out.output_dir = std::move(dir);
    } else if (arg == "-t") {
      out.timeout_minutes = to_int(value);
    } else if (arg == "-j") {
      out.jobs_text = value;
    } else {
      continue;  // unknown: skipped, and its neighbour is looked at on its own
    }
    ++i;
  }
}

bool options_sufficient(const Settings& options) {
  if (!options.relay) return false;
  if (options.list_path) return true;
  return options.sha1 && options.size && options.url;
}

bool refuse_quote_in_output_folder(const Settings& options) {
  if (paths_may_hold_quotes() || !options.output_dir) return false;
  if (options.output_dir->find('"') == std::string::npos) return false;
  console_message(
      "Error: the output folder holds a double quote: %s (write the folder without its final "
      "backslash, as in -o \"C:\\dir\")",
      options.output_dir->c_str());
  return true;
}

bool refuse_jobs(Settings& options) {
  if (!options.jobs_text) return false;
  const std::string& text = *options.jobs_text;
  int32_t jobs = 0;
  bool number = !text.empty();  // digits alone: no sign, no blank, nothing after
  for (char c : text) number = number && c >= '0' && c <= '9';
  if (number) jobs = to_int(text);
  if (number && jobs >= kMinJobs && jobs <= kMaxJobs) {
    options.jobs = jobs;
    return false;
  }
  console_message("Error: -j takes a number from %d to %d: %s", kMinJobs, kMaxJobs, text.c_str());
  return true;
}

bool asks_for_version(const std::vector<std::string>& args) {
  return args.size() == 2 && args[1] == "--version";
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine command;
  if (asks_for_version(args)) {
    write_standard_output(std::string("quonfetch ") + kQuonfetchVersion + "\n");
    command.exit_status = 0;
    return command;
  }
  read_options(args, command.settings);
  // Before the usage: the options after such a value were swallowed into it.
  if (refuse_quote_in_output_folder(command.settings) || refuse_jobs(command.settings)) {
    command.exit_status = 1;
  } else if (!options_sufficient(command.settings)) {
    print_usage();
    command.exit_status = 0;
  }
  return command;
}

bool refuse_log_over_list(const Settings& settings) {
  if (!settings.log_path || !settings.list_path) return false;
  if (!same_file(*settings.log_path, *settings.list_path)) return false;
  console_message("Error: the log file is the list file: %s", settings.log_path->c_str());
  return true;
}

int64_t deadline_after(int64_t now, int32_t timeout_minutes) {
  return now + static_cast<int64_t>(timeout_minutes) * 60;
}

void print_usage() {
  static const char* const lines[] = {
      "Quonfetch.exe -r <relay url> [-p <port>] -f <file> -t <timeout(m)>\n\n",
      "-r    Name of relay from which to download files through\n",
      "-p    Port on relay which is used for Korvex traffic (Optional Default:52311)\n",
      "-f    File containing downloads on each line with size, sha1, url separated by <tab>\n",
      "-s    Sha1 of file to individually download if not using -f\n",
      "-q    Sha2 of file to individually download if not using -f\n",
      "-z    Size of file to individually download if not using -f\n",
      "-u    URL of file to individually download if not using -f\n",
      "-l    Log file to write\n",
      "-d    Verbose debug logging\n",
      "-o    Directory to save downloads to\n",
      ("-t    Amount of time in minutes to quit if download does not become available "
       "(Default: 60)\n\n"),
  };
  for (const char* line : lines) write_standard_output(line);
}
