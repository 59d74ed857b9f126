// The relay's command line, read in process (the program's exit statuses are in
// relay_process_test.cpp).
#include "server/options.h"

#include <gtest/gtest.h>

namespace {

TEST(RelayOptionsTest, DefaultsAndEveryOption) {
  RelayOptions defaults;
  std::string err;
  ASSERT_EQ(parse_relay_options({"--store", "s"}, &defaults, &err), ParseOutcome::Run);
  EXPECT_EQ(defaults.store, "s");
  EXPECT_EQ(defaults.listen, "127.0.0.1");
  EXPECT_EQ(defaults.port, 52311);
  EXPECT_EQ(defaults.workers, 4);
  EXPECT_FALSE(defaults.allow_file_origins);
  EXPECT_TRUE(defaults.tls_cert.empty());

  RelayOptions all;
  ASSERT_EQ(parse_relay_options(
                {"--listen", "::1", "--port", "0", "--workers", "256", "--tls-cert", "c.pem",
                 "--tls-key", "k.pem", "--allow-file-origins", "--store", "/tmp/x"},
                &all, &err),
            ParseOutcome::Run)
      << err;
  EXPECT_EQ(all.listen, "::1");
  EXPECT_EQ(all.port, 0);
  EXPECT_EQ(all.workers, 256);
  EXPECT_EQ(all.tls_cert, "c.pem");
  EXPECT_EQ(all.tls_key, "k.pem");
  EXPECT_TRUE(all.allow_file_origins);
  EXPECT_EQ(all.store, "/tmp/x");

  RelayOptions help;
  EXPECT_EQ(parse_relay_options({"--port", "1", "--help"}, &help, &err), ParseOutcome::Help);
}

}  // namespace
