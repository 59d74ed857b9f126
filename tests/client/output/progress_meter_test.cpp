// The progress meter: its text, when it redraws, and that it leaves nothing behind.
#include "client/output/progress_meter.h"

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "client/output/log.h"

namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

TEST(ExpectedSizeOfTest, OnlyDecimalNumbersAboveZero) {
  const struct {
    std::optional<std::string> text;
    std::optional<uint64_t> size;
  } cases[] = {
      {"17", 17},
      {"209715200", 200 * MiB},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // one past 64 bits
      {"0", std::nullopt},
      {"", std::nullopt},
      {std::nullopt, std::nullopt},
      {"-5", std::nullopt},
      {" 5", std::nullopt},
      {"1e6", std::nullopt},
      {"12.5", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(expected_size_of(c.text), c.size) << c.text.value_or("(absent)");
}

TEST(ProgressLineTest, Table) {
  const struct {
    uint64_t bytes;
    std::optional<uint64_t> expected;
    int64_t elapsed_ms;
    const char* line;
  } cases[] = {
      {0, std::nullopt, 0, "0 B  --/s"},
      {0, 100, 0, "0 B of 100 B   0%  --/s  --:-- left"},
      {0, 100, 1000, "0 B of 100 B   0%  0 B/s  --:-- left"},
      {512, std::nullopt, 1000, "512 B  512 B/s"},
      {1024, std::nullopt, 1000, "1.0 KiB  1.0 KiB/s"},
      {1536, std::nullopt, 500, "1.5 KiB  3.0 KiB/s"},
      {50 * MiB, 200 * MiB, 10'000, "50.0 MiB of 200.0 MiB  25%  5.0 MiB/s  0:30 left"},
      {199 * MiB, 200 * MiB, 199'000, "199.0 MiB of 200.0 MiB  99%  1.0 MiB/s  0:01 left"},
      {200 * MiB, 200 * MiB, 20'000, "200.0 MiB of 200.0 MiB 100%  10.0 MiB/s  0:00 left"},
      // The time left rounds up, and passes an hour.
      {1, 3, 1000, "1 B of 3 B  33%  1 B/s  0:02 left"},
      {1 * MiB, 5 * GiB, 1000, "1.0 MiB of 5.0 GiB   0%  1.0 MiB/s  1:25:19 left"},
      // A size the fetch has passed was wrong: no share and no time left.
      {300, 200, 1000, "300 B  300 B/s"},
      {3 * GiB / 2, std::nullopt, 3000, "1.5 GiB  512.0 MiB/s"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(progress_line(c.bytes, c.expected, c.elapsed_ms), c.line)
        << c.bytes << " bytes in " << c.elapsed_ms << " ms";
}

// A meter drawing into a temporary file, and what it wrote.
class ProgressMeterTest : public ::testing::Test {
 protected:
  std::string written() {
    fflush(file.get());
    std::string text;
    rewind(file.get());
    for (int c; (c = fgetc(file.get())) != EOF;) text += static_cast<char>(c);
    return text;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file{tmpfile(), fclose};
};

TEST_F(ProgressMeterTest, RedrawsAtMostFourTimesASecondAndWipesItsLine) {
  {
    ProgressMeter meter(file.get(), 80, 4 * KiB, 10'000);
    meter.update(100, 10'000);
    meter.update(200, 10'249);  // too early for a first line
    EXPECT_EQ(written(), "");
    meter.update(1024, 10'250);
    meter.update(1500, 10'400);  // within 250 ms of the last line
    meter.update(2048, 10'500);
    EXPECT_EQ(written(),
              "\r1.0 KiB of 4.0 KiB  25%  4.0 KiB/s  0:01 left"
              "\r2.0 KiB of 4.0 KiB  50%  4.0 KiB/s  0:01 left");
  }
  // Gone with the meter: the cursor back at the start of a blank line.
  const std::string last = "2.0 KiB of 4.0 KiB  50%  4.0 KiB/s  0:01 left";
  EXPECT_TRUE(written().ends_with(last + "\r" + std::string(last.size(), ' ') + "\r")) << written();
}

TEST_F(ProgressMeterTest, AShorterLineBlanksTheRestOfTheLongerOne) {
  ProgressMeter meter(file.get(), 80, std::nullopt, 0);
  meter.update(1000, 1000);  // "1000 B  1000 B/s"
  meter.update(1000, 4000);  // "1000 B  250 B/s"
  meter.clear();
  meter.clear();  // nothing shown: nothing written
  EXPECT_EQ(written(), "\r1000 B  1000 B/s\r1000 B  250 B/s \r" + std::string(15, ' ') + "\r");
}

TEST_F(ProgressMeterTest, NeverWiderThanTheTerminal) {
  ProgressMeter meter(file.get(), 20, 4 * KiB, 0);
  meter.update(1024, 1000);
  meter.clear();
  EXPECT_EQ(written(), "\r1.0 KiB of 4.0 KiB \r" + std::string(19, ' ') + "\r");
}

TEST_F(ProgressMeterTest, FetchesSideBySideShareOneLineThatEveryLogLineWipesFirst) {
  Settings settings;
  {
    BatchMeter meter(file.get(), 80, 2, 4 * KiB, 0);
    meter.add(1024, 300);
    meter.add(1024, 400);  // within 250 ms of the last line
    meter.file_ended(600);
    testing::internal::CaptureStdout();
    log_message(settings, "a line");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a line\n");
    meter.add(-1024, 900);  // a fetch that starts again takes back what it had counted
    const std::string first = "0 of 2 files  1.0 KiB of 4.0 KiB  25%  3.3 KiB/s  0:01 left";
    const std::string second = "1 of 2 files  2.0 KiB of 4.0 KiB  50%  3.3 KiB/s  0:01 left";
    const std::string third = "1 of 2 files  1.0 KiB of 4.0 KiB  25%  1.1 KiB/s  0:03 left";
    EXPECT_EQ(written(), "\r" + first + "\r" + second + "\r" + std::string(second.size(), ' ') +
                             "\r\r" + third);
  }
  // Gone with the meter (its line wiped), lines no longer touch it.
  const std::string before = written();
  EXPECT_TRUE(before.ends_with("\r" + std::string(59, ' ') + "\r")) << before;
  testing::internal::CaptureStdout();
  log_message(settings, "another line");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(written(), before);
}

}  // namespace
