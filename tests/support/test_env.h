// Test helpers: temporary directories, files, and running the quonfetch binary as a child.
#pragma once

#include <functional>
#include <string>
#include <vector>

/// A directory of its own for one test, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// Names of the entries in `subdir` (relative to this directory), sorted.
  std::vector<std::string> entries(const std::string& subdir = "") const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

/// What a child process did.
struct ProgramRun {
  int exit_status = -1;  ///< -1 when it did not exit normally
  int signal = 0;        ///< the signal that ended it, if one did
  std::string out;       ///< everything it wrote to standard output
  std::string err;       ///< everything it wrote to standard error
};

/// Runs `program` with `args` in `cwd`, with no standard input, and waits for it. A nonzero
/// `file_size_limit` caps the size of any file the child writes (RLIMIT_FSIZE, with SIGXFSZ
/// ignored so that writes past it fail instead of killing the child), as on a full disk.
/// `on_started`, when given, is called with the child's pid as soon as it runs.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd = ".", long file_size_limit = 0,
                       const std::function<void(int)>& on_started = nullptr);

/// Lower-case hex SHA-1 / SHA-256 of `data`.
std::string sha1_hex(const std::string& data);
std::string sha256_hex(const std::string& data);
