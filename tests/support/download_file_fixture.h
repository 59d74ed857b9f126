// A fixture for fetches of one file from a test relay: a run state of its own on a virtual
// clock, and an output folder of the test's own.
#pragma once

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "client/protocol/file_retrieval.h"
#include "client/records/run_state.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "support/virtual_clock.h"

class DownloadFileTest : public ::testing::Test {
 protected:
  /// Fetches `path` of the relay as download_file() does, with the output in `out`.
  FetchOutcome fetch(const std::string& path, std::optional<std::string> name,
                     std::optional<DigestCheck> check,
                     std::optional<std::string> size = std::nullopt,
                     std::optional<std::string> part = std::nullopt) {
    testing::internal::CaptureStdout();
    FetchOutcome outcome = *state.loop.run(
        download_file(state, relay.base_url() + path, name, check, size, nullptr, part));
    out = testing::internal::GetCapturedStdout();
    return outcome;
  }
  ScriptedReply body(std::string content, int code = 200) {
    ScriptedReply r;
    r.code = code;
    r.body = std::move(content);
    return r;
  }
  void SetUp() override { state.settings.output_dir = dir.file("out"); }
  std::string out_file(const std::string& name) { return dir.file("out/" + name); }

  VirtualClock clock;
  FaultEnv env{clock};
  TempDir dir;
  TestRelay relay;
  RunState state{env};  // after the relay: its connections close before the relay stops
  std::string out;
};
