// Comparing a run's output with what the same run writes one record at a time: records that run
// side by side interleave their lines, but each record keeps its own order and every pass keeps
// its place.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

/// What names one record in the output: a line holding any of these (a digest, a file path) is
/// one of the record's lines.
using RecordNames = std::vector<std::string>;

/// True for the lines a run writes once per run or per pass, in the same places at any -j:
/// "Sending download requests for ...", "N download(s) available.", "Checking status of N
/// downloads.", "Sleeping for N seconds...", "Timeout of ..." and the count at the end.
bool is_pass_line(const std::string& line);

/// The lines of `output` that hold one of `names`, in their order.
std::vector<std::string> record_lines(const std::string& output, const RecordNames& names);

/// `actual` against `expected` (written at -j 1), for records that ran side by side: the same
/// pass lines in the same order, between each two of them the same lines (as a multiset), and
/// for every record of `records` the same lines in the same order. Both must end with a line
/// ending.
testing::AssertionResult same_lines_per_record(const std::string& actual,
                                               const std::string& expected,
                                               const std::vector<RecordNames>& records);

/// The comparison of every test of the binary that states a run's whole output: exact, unless
/// the launcher setting has the client run records side by side (client_runs_side_by_side()),
/// then same_lines_per_record().
testing::AssertionResult same_run_output(const std::string& actual, const std::string& expected,
                                         const std::vector<RecordNames>& records = {});
