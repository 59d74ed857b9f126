// Comparing a run's output with what the same run writes one record at a time.
#include "support/run_lines.h"

#include <algorithm>
#include <regex>
#include <sstream>

#include "support/test_env.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines between two pass lines (and before the first, after the last), each part sorted.
std::vector<std::vector<std::string>> parts_between_passes(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> parts(1);
  for (const std::string& line : lines) {
    if (is_pass_line(line))
      parts.emplace_back();
    else
      parts.back().push_back(line);
  }
  for (auto& part : parts) std::sort(part.begin(), part.end());
  return parts;
}

std::vector<std::string> pass_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> passes;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(passes), is_pass_line);
  return passes;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

testing::AssertionResult differ(const std::string& what, const std::vector<std::string>& actual,
                                const std::vector<std::string>& expected) {
  return testing::AssertionFailure() << what << ":\nactual\n"
                                     << joined(actual) << "expected\n"
                                     << joined(expected);
}

}  // namespace

bool is_pass_line(const std::string& line) {
  static const std::regex pass(
      "Sending download requests for \\d+ download\\(s\\) on .*|\\d+ download\\(s\\) available\\."
      "|Checking status of \\d+ downloads\\.|Sleeping for \\d+ seconds\\.\\.\\."
      "|Timeout of -?\\d+ minute\\(s\\) reached\\.|-?\\d+ download\\(s\\) successfully "
      "downloaded\\.");
  return std::regex_match(line, pass);
}

std::vector<std::string> record_lines(const std::string& output, const RecordNames& names) {
  std::vector<std::string> mine;
  for (const std::string& line : lines_of(output)) {
    if (std::any_of(names.begin(), names.end(),
                    [&](const std::string& name) { return line.find(name) != std::string::npos; }))
      mine.push_back(line);
  }
  return mine;
}

testing::AssertionResult same_lines_per_record(const std::string& actual,
                                               const std::string& expected,
                                               const std::vector<RecordNames>& records) {
  if (!actual.empty() && !actual.ends_with('\n'))
    return testing::AssertionFailure() << "the last line is not whole:\n" << actual;
  const std::vector<std::string> got = lines_of(actual), want = lines_of(expected);
  if (pass_lines(got) != pass_lines(want))
    return differ("pass lines", pass_lines(got), pass_lines(want));
  const auto got_parts = parts_between_passes(got), want_parts = parts_between_passes(want);
  for (size_t i = 0; i < want_parts.size(); ++i) {
    if (got_parts[i] != want_parts[i])
      return differ("lines after pass line " + std::to_string(i), got_parts[i], want_parts[i]);
  }
  for (const RecordNames& names : records) {
    if (record_lines(actual, names) != record_lines(expected, names))
      return differ("lines of the record named " + names.front(), record_lines(actual, names),
                    record_lines(expected, names));
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult same_run_output(const std::string& actual, const std::string& expected,
                                         const std::vector<RecordNames>& records) {
  if (client_runs_side_by_side()) return same_lines_per_record(actual, expected, records);
  if (actual == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "output:\n" << actual << "expected:\n" << expected;
}
