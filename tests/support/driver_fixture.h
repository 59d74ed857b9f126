// A fixture for in-process runs of the driver: a run state of its own on a virtual clock, a
// test relay, and an output folder of the test's own.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "client/run/driver.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "support/virtual_clock.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { use_relay(*relay); }
  void use_relay(const TestRelay& r) {
    state->settings.relay = "127.0.0.1";
    state->settings.port = r.port();
    state->settings.output_dir = dir.file("out");
    state->settings.timeout_minutes = 60;
    state->deadline = clock.now() + 3600;
  }
  Download* add(const std::string& content, const std::string& name,
                std::optional<std::string> sha256 = std::nullopt) {
    std::string sha1 = sha1_hex(content);
    relay->serve_file(sha1, content);
    Download* d = new_download(state->download_records, sha1, std::to_string(content.size()),
                               "http://origin/" + name, sha256);
    EXPECT_TRUE(queue_push(state->request_queue, d));
    return d;
  }
  std::string run() {
    testing::internal::CaptureStdout();
    run_downloads(*state);
    return testing::internal::GetCapturedStdout();
  }
  std::string base() const { return relay->base_url(); }
  std::string mirror(const Download& d) const {
    return base() + "/kxmirror/downloads/sha1/" + *d.sha1;
  }

  VirtualClock clock;
  FaultEnv env{clock};
  TempDir dir;
  std::unique_ptr<TestRelay> relay = std::make_unique<TestRelay>();
  /// Replaced by a new one when a test runs several times. Declared after the relay, so that
  /// the connections it keeps are closed before the relay stops: a relay stopping first would
  /// wait for them to time out.
  std::unique_ptr<RunState> state = std::make_unique<RunState>(env);
};
