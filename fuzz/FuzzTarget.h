#pragma once

// The registry of fuzz targets that tessaline-fuzz dispatches to, and the checks they share.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline::fuzz {

using TargetFunction = void (*)(std::string_view input);

struct Target {
  const char* name;
  const char* summary;
  TargetFunction run;
};

// Registers a target; used through TESSALINE_FUZZ_TARGET below.
struct Registration {
  Registration(const char* name, const char* summary, TargetFunction run);
};

// Every registered target, in registration order.
std::vector<Target>& registry();
// The target of the given name, or nullptr.
const Target* findTarget(std::string_view name);
// Prints every target's name and summary.
void listTargets();

// Reports a broken invariant with the values involved and aborts, so that libFuzzer keeps the
// input as a crash.
[[noreturn]] void violated(std::string_view what, std::string_view detail = {});

inline void require(bool condition, std::string_view what, std::string_view detail = {}) {
  if (!condition) {
    violated(what, detail);
  }
}

// The input as printable text, for messages.
std::string shown(std::string_view text);

}  // namespace tessaline::fuzz

#define TESSALINE_FUZZ_CONCAT_(a, b) a##b
#define TESSALINE_FUZZ_CONCAT(a, b) TESSALINE_FUZZ_CONCAT_(a, b)
#define TESSALINE_FUZZ_TARGET(name, summary, function)                                        \
  static const ::tessaline::fuzz::Registration TESSALINE_FUZZ_CONCAT(registration, __LINE__)( \
      name, summary, function)
