// A fixture for in-process runs of the driver: the run state reset, a virtual clock, a test
// relay, and an output folder of the test's own.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "run/driver.h"
#include "run/state.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "support/virtual_clock.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { use_relay(*relay); }
  void use_relay(const TestRelay& r) {
    settings.relay = "127.0.0.1";
    settings.port = r.port();
    settings.output_dir = dir.file("out");
    settings.timeout_minutes = 60;
    deadline = clock.now() + 3600;
  }
  Download* add(const std::string& content, const std::string& name,
                std::optional<std::string> sha256 = std::nullopt) {
    std::string sha1 = sha1_hex(content);
    relay->serve_file(sha1, content);
    Download* d = new_download(sha1, std::to_string(content.size()), "http://origin/" + name,
                               sha256);
    queue_push(request_queue, d);
    return d;
  }
  std::string run() {
    testing::internal::CaptureStdout();
    run_downloads();
    return testing::internal::GetCapturedStdout();
  }
  std::string base() const { return relay->base_url(); }
  std::string mirror(const Download& d) const {
    return base() + "/kxmirror/downloads/sha1/" + *d.sha1;
  }

  RunStateGuard state;
  VirtualClock clock;
  TempDir dir;
  std::unique_ptr<TestRelay> relay = std::make_unique<TestRelay>();
};
