// tessaline-fuzz: one libFuzzer binary for every target. The target is the first argument
// ("tessaline-fuzz config corpus/config -max_total_time=20") or, when that is absent, the
// environment variable TESSALINE_FUZZ_TARGET. The chosen name is put into the environment so that
// the processes libFuzzer forks (-fork, -jobs) fuzz the same target.

#include "FuzzTarget.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tessaline::fuzz {

std::vector<Target>& registry() {
  static std::vector<Target> targets;
  return targets;
}

namespace {

const Target* selected = nullptr;

}  // namespace

Registration::Registration(const char* name, const char* summary, TargetFunction run) {
  registry().push_back({name, summary, run});
}

const Target* findTarget(std::string_view name) {
  for (const Target& target : registry()) {
    if (name == target.name) {
      return &target;
    }
  }
  return nullptr;
}

void listTargets() {
  for (const Target& target : registry()) {
    std::fprintf(stderr, "  %-18s %s\n", target.name, target.summary);
  }
}

void violated(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "\n==tessaline-fuzz== invariant violated: %.*s\n",
               static_cast<int>(what.size()), what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

std::string shown(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace tessaline::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  using namespace tessaline::fuzz;
  if (*argc > 1 && std::strcmp((*argv)[1], "--list-targets") == 0) {
    for (const Target& target : registry()) {
      std::printf("%s\n", target.name);
    }
    std::exit(0);
  }
  const char* name = std::getenv("TESSALINE_FUZZ_TARGET");
  if (*argc > 1 && (*argv)[1][0] != '-' && findTarget((*argv)[1])) {
    name = (*argv)[1];
    // libFuzzer reads its arguments after this call: drop the name so it is not taken for a
    // corpus directory.
    for (int i = 1; i + 1 < *argc; ++i) {
      (*argv)[i] = (*argv)[i + 1];
    }
    --*argc;
    (*argv)[*argc] = nullptr;
  }
  if (!name || !(selected = findTarget(name))) {
    std::fprintf(stderr,
                 "usage: tessaline-fuzz TARGET [libFuzzer options] [corpus directories or "
                 "inputs]\n(or TESSALINE_FUZZ_TARGET=TARGET)\ntargets:\n");
    listTargets();
    std::exit(2);
  }
  setenv("TESSALINE_FUZZ_TARGET", selected->name, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tessaline::fuzz::selected->run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
