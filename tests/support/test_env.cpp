// Test helpers: running the client under test (this build's, or the one QUONFETCH_CLIENT names)
// and other programs as children, and digests of test data.
#include "support/test_env.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/hex.h"

namespace {

// The full path of `program` on PATH (as execvp would find it), so that nothing is looked up
// between fork and exec.
std::string on_path(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return program;
}

// The blank-separated words of the environment variable `name`; none when it is unset.
std::vector<std::string> words_of(const char* name) {
  const char* setting = getenv(name);
  std::vector<std::string> words;
  std::istringstream in(setting ? setting : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> read_client_command() {
  std::vector<std::string> words = words_of("QUONFETCH_CLIENT");
  if (words.empty()) return {QUONFETCH_BINARY};
  words.front() = on_path(words.front());
  return words;
}

}  // namespace

const std::vector<std::string>& client_command() {
  static const std::vector<std::string> command = read_client_command();
  return command;
}

bool client_is_windows() {
  static const bool windows = client_command().back().ends_with(".exe");
  return windows;
}

const std::vector<std::string>& client_launch_args() {
  static const std::vector<std::string> args = words_of("QUONFETCH_CLIENT_ARGS");
  return args;
}

bool client_runs_side_by_side() {
  const std::vector<std::string>& args = client_launch_args();
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-j" && args[i + 1] != "1") return true;
  return false;
}

ProgramRun run_client(const std::vector<std::string>& args, const std::string& cwd,
                      long file_size_limit, const std::function<void(int)>& on_started,
                      bool stdout_closed) {
  const std::vector<std::string>& command = client_command();
  std::vector<std::string> all(command.begin() + 1, command.end());
  all.insert(all.end(), client_launch_args().begin(), client_launch_args().end());
  all.insert(all.end(), args.begin(), args.end());
  ProgramRun run =
      run_program(command.front(), all, cwd, file_size_limit, on_started, stdout_closed);
  run.out = client_text(run.out);
  run.err = client_text(run.err);
  return run;
}

std::string client_text(const std::string& text) {
  const std::string ending = client_is_windows() ? "\r\n" : "\n";
  std::string lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end + 1 - start);
    EXPECT_TRUE(line.ends_with(ending)) << "line without the client's ending: " << line;
    if (line.ends_with(ending)) line.resize(line.size() - ending.size());
    lines += line + "\n";
  }
  return lines + text.substr(start);
}

std::string client_path(const std::string& folder, const std::string& name) {
  return folder + (client_is_windows() ? "\\" : "/") + name;
}

bool ended_by_interrupt(const ProgramRun& run) {
  constexpr int kControlCExitLowByte = 0xC000013A & 0xFF;
  if (client_is_windows()) return run.signal == 0 && run.exit_status == kControlCExitLowByte;
  return run.signal == SIGINT;
}

std::string read_client_text(const std::string& path) {
  return client_text(read_file(path));
}

ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, long file_size_limit,
                       const std::function<void(int)>& on_started, bool stdout_closed) {
  int out_pipe[2], err_pipe[2], dead_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      pipe2(dead_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  close(dead_pipe[0]);  // nobody will ever read what is written into dead_pipe[1]
  // Everything the child needs is made before the fork: other threads of this process (a test
  // relay) may hold locks that the child would wait on forever.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
  pid_t pid = fork();
  if (pid == 0) {
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(stdout_closed ? dead_pipe[1] : out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    if (file_size_limit > 0) {
      signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(dead_pipe[1]);
  if (on_started) on_started(pid);
  ProgramRun run;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[65536];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return run;
}

std::string sha1_hex(const std::string& data) {
  return digest_hex(DigestKind::Sha1, data);
}

std::string sha256_hex(const std::string& data) {
  return digest_hex(DigestKind::Sha256, data);
}
