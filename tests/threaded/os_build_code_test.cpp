// The OS build code is read from the system once per process, also when threads race for it.
#include <Tessaline/records/Bundle.h>
#include <Tessaline/records/detail/SystemIdentifiers.h>

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

namespace tessaline {
namespace {

TEST(OperatingSystemBuildCodeTest, ThreadsRacingOnTheFirstCallReadItOnce) {
  ASSERT_EQ(detail::operatingSystemBuildCodeReadCount(), 0);
  constexpr int kThreads = 4;
  std::latch start(kThreads);
  std::vector<std::optional<std::string>> codes(kThreads);
  std::vector<std::string> models(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      codes[i] = operatingSystemBuildCode();
      models[i] = hardwareModelIdentifier();
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(detail::operatingSystemBuildCodeReadCount(), 1);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(codes[i], codes[0]);
    EXPECT_EQ(models[i], models[0]);
  }
  EXPECT_EQ(operatingSystemBuildCode(), codes[0]);
  EXPECT_EQ(detail::operatingSystemBuildCodeReadCount(), 1);
}

}  // namespace
}  // namespace tessaline
