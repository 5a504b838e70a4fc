#include <Tessaline/service/Environment.h>

#include <platform/Logger.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using tessaline::Environment;

// The only test of this file: the environment is chosen once per process.
TEST(ServiceEnvironmentTest, AnOverrideThatIsNotAcceptableIsIgnoredWithAnErrorLine) {
  setenv("TESSALINE_SERVICE_URL", "http://feedback.example/v1", 1);
  tessaline::platform::LogCapture capture;
  const Environment& current = Environment::current();

  EXPECT_EQ(current.baseURL().scheme(), "https");
  EXPECT_NE(current.baseURL().absoluteString(), "http://feedback.example/v1");
  EXPECT_EQ(&Environment::current(), &current);
  EXPECT_EQ(Environment::current(), current);

  const auto lines =
      capture.withFormat("Ignoring TESSALINE_SERVICE_URL %{public}@: %{public}@", "Environment");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, tessaline::platform::LogLevel::error);
  EXPECT_EQ(
      lines[0].message,
      "Ignoring TESSALINE_SERVICE_URL http://feedback.example/v1: plain http is accepted only "
      "for this machine");
}

}  // namespace
