// A child run of a program whose output the test reads while it runs, through pipes or a
// pseudo-terminal.
#include "support/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>

ChildProgram::ChildProgram(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, ChildStreams streams, int columns) {
  int child_out = -1, child_err = -1;
  if (streams == ChildStreams::Terminal) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    if (openpty(&fds_[0], &child_out, nullptr, nullptr, &size) != 0)
      throw std::runtime_error("openpty failed");
    fcntl(fds_[0], F_SETFD, FD_CLOEXEC);
    fcntl(child_out, F_SETFD, FD_CLOEXEC);
    child_err = child_out;
  } else {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    fds_[0] = out_pipe[0];
    fds_[1] = err_pipe[0];
    child_out = out_pipe[1];
    child_err = err_pipe[1];
  }
  // Everything the child needs is made before the fork (see run_program).
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(child_out, 1);
    dup2(child_err, 2);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(child_out);
  if (child_err != child_out) close(child_err);
}

ChildProgram::~ChildProgram() {
  for (int fd : fds_)
    if (fd >= 0) close(fd);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ChildProgram::pump(int timeout_ms) {
  pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  int ready = poll(polled, 2, timeout_ms);
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  std::string* sinks[2] = {&run_.out, &run_.err};
  for (int i = 0; i < 2; ++i) {
    if (fds_[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[65536];
    ssize_t got = read(fds_[i], buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      // A pseudo-terminal whose last writer closed reads as an error (EIO), not as an end.
      close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return true;
}

bool ChildProgram::read_until(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (run_.out.find(text) == std::string::npos && (fds_[0] >= 0 || fds_[1] >= 0)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !pump(static_cast<int>(left.count()))) break;
  }
  return run_.out.find(text) != std::string::npos;
}

ProgramRun ChildProgram::finish() {
  while (fds_[0] >= 0 || fds_[1] >= 0) pump(-1);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  run_.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return run_;
}
