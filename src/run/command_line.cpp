// The command line: options into Settings, validation and usage, the log file, the deadline and
// the requests of the run.
#include "run/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "run/list_file.h"

namespace {

// atoi's reading of a number (leading blanks, a sign, digits, anything after ignored, 0 when no
// number begins the text), kept inside the 32-bit range where atoi itself would be undefined.
int32_t to_int(const char* text) {
  errno = 0;
  long long value = strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

void read_options(int argc, const char* const* argv, Settings& out) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "-d") == 0) {
      out.verbose = 1;
      continue;
    }
    // Every other option takes the next argument as its value, whatever it looks like; standing
    // last, it has none and is skipped like any unknown argument.
    if (i + 1 >= argc) continue;
    const char* value = argv[i + 1];
    if (strcmp(arg, "-r") == 0) {
      out.relay = value;
    } else if (strcmp(arg, "-p") == 0) {
      out.port = to_int(value);
    } else if (strcmp(arg, "-f") == 0) {
      out.list_path = value;
    } else if (strcmp(arg, "-s") == 0) {
      out.sha1 = value;
    } else if (strcmp(arg, "-q") == 0) {
      out.sha256 = value;
    } else if (strcmp(arg, "-z") == 0) {
      out.size = value;
    } else if (strcmp(arg, "-u") == 0) {
      out.url = value;
    } else if (strcmp(arg, "-l") == 0) {
      out.log_path = value;
    } else if (strcmp(arg, "-o") == 0) {
      // Drops one closing double quote, which a shell on some systems leaves behind after a
      // quoted path that ends in a backslash.
      std::string dir = value;
      if (!dir.empty() && dir.back() == '"') dir.pop_back();
      out.output_dir = std::move(dir);
    } else if (strcmp(arg, "-t") == 0) {
      out.timeout_minutes = to_int(value);
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

void parse_command_line(int argc, const char* const* argv) {
  Settings options;
  read_options(argc, argv, options);
  if (!options_sufficient(options)) print_usage();
  settings = std::move(options);

  settings.log_enabled = settings.log_path ? 1 : 0;
  if (settings.log_path) {
    // Creates or empties the log; a log that cannot be made is not reported, and every message
    // still tries it again.
    FilePtr log(fopen(settings.log_path->c_str(), "wb"));
  }

  deadline = current_time() + static_cast<int64_t>(settings.timeout_minutes) * 60;

  if (settings.list_path) {
    read_list_file(*settings.list_path);
    return;
  }
  queue_push(request_queue, new_download(settings.sha1, settings.size, settings.url,
                                         settings.sha256));
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
  for (const char* line : lines) fputs(line, stdout);
  exit(0);
}
