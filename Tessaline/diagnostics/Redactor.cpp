#include <Tessaline/diagnostics/Redactor.h>

#include <platform/AtomicFile.h>
#include <platform/FileSystem.h>

#include <re2/re2.h>

#include <algorithm>
#include <mutex>

namespace tessaline {

namespace {

// Large enough that ten ordinary rules run on the DFA without falling back to the slower NFA.
constexpr int64_t kMaxProgramMemory = 64 << 20;
constexpr std::size_t kBinarySniffSize = 8192;

RE2::Options options() {
  RE2::Options result;
  result.set_log_errors(false);
  result.set_max_mem(kMaxProgramMemory);
  return result;
}

struct Settings {
  std::mutex mutex;
  std::shared_ptr<const Redactor> current;
};

Settings& settings() {
  static auto* instance = new Settings();  // read by steps until the process ends
  return *instance;
}

}  // namespace

struct Redactor::Compiled {
  struct Entry {
    std::unique_ptr<RE2> re;
    std::string replacement;
  };
  // All rules as one alternation: one scan finds where the next match is.
  std::unique_ptr<RE2> combined;
  std::vector<Entry> entries;
  int maxGroups = 0;
};

std::vector<Redactor::Rule> Redactor::defaultRules(const std::string& homeDirectory) {
  std::vector<Rule> rules{
      {R"([A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,})", "<email>"},
      {R"((?i)\bbearer\s+[A-Za-z0-9._~+/-]+=*)", "Bearer <redacted>"},
      {R"((?i)\b([A-Za-z0-9_.-]*(?:key|token|password)\s*=\s*)(?:"[^"]*"|'[^']*'|[^\s&"',;]+))",
       R"(\1<redacted>)"},
  };
  // "/" or nothing would turn every path into "~".
  std::string home = homeDirectory;
  while (home.size() > 1 && home.back() == '/') {
    home.pop_back();
  }
  if (home.size() > 1) {
    // Not a longer name that starts the same ("/home/al" in "/home/alice").
    rules.push_back({RE2::QuoteMeta(home) + R"(([^A-Za-z0-9._-]|$))", R"(~\1)"});
  }
  return rules;
}

Result<Redactor> Redactor::make(const std::vector<Rule>& rules) {
  auto compiled = std::make_shared<Compiled>();
  std::string combined;
  for (const auto& rule : rules) {
    auto single = std::make_unique<RE2>(rule.pattern, options());
    if (!single->ok()) {
      return Error(Error::Kind::generic, "The redaction pattern \"" + rule.pattern +
                                             "\" is not valid: " + single->error());
    }
    std::string problem;
    if (!single->CheckRewriteString(rule.replacement, &problem)) {
      return Error(Error::Kind::generic, "The redaction replacement \"" + rule.replacement +
                                             "\" is not valid: " + problem);
    }
    combined += (combined.empty() ? "(?:" : "|(?:") + rule.pattern + ")";
    compiled->maxGroups = std::max(compiled->maxGroups, single->NumberOfCapturingGroups());
    compiled->entries.push_back({std::move(single), rule.replacement});
  }
  if (!rules.empty()) {
    compiled->combined = std::make_unique<RE2>(combined, options());
    if (!compiled->combined->ok()) {
      return Error(Error::Kind::generic,
                   "The redaction rules are not valid together: " + compiled->combined->error());
    }
  }
  return Redactor(std::move(compiled));
}

std::string Redactor::apply(std::string_view text) const {
  if (!compiled_ || !compiled_->combined) {
    return std::string(text);
  }
  const re2::StringPiece input(text.data(), text.size());
  std::vector<re2::StringPiece> groups(1 + static_cast<std::size_t>(compiled_->maxGroups));
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  re2::StringPiece found;
  // The combined scan runs without groups (its fastest form); the rule that matched is the
  // first one matching at that place, and only it extracts its groups, over a few bytes.
  while (position <= text.size() &&
         compiled_->combined->Match(input, position, text.size(), RE2::UNANCHORED, &found, 1)) {
    const auto start = static_cast<std::size_t>(found.data() - text.data());
    out.append(text.substr(position, start - position));
    std::size_t end = start + found.size();
    for (const auto& entry : compiled_->entries) {
      const int count = 1 + entry.re->NumberOfCapturingGroups();
      if (entry.re->Match(input, start, text.size(), RE2::ANCHOR_START, groups.data(), count)) {
        entry.re->Rewrite(&out, entry.replacement, groups.data(), count);
        end = start + groups[0].size();
        break;
      }
    }
    position = end;
    if (end == start) {  // an empty match: keep the next byte and move past it
      if (position < text.size()) {
        out.push_back(text[position]);
      }
      ++position;
    }
  }
  if (position < text.size()) {
    out.append(text.substr(position));
  }
  return out;
}

Result<Unit> Redactor::applyToFiles(const std::string& path) const {
  auto redactFile = [this](const std::string& file) -> Result<Unit> {
    auto contents = platform::FileSystem::readFile(file);
    if (!contents) {
      return contents.error();
    }
    const std::string_view text = contents->view();
    if (text.substr(0, kBinarySniffSize).find('\0') != std::string_view::npos) {
      return Unit{};
    }
    return platform::AtomicFile::write(file, apply(text));
  };
  std::vector<std::string> files;
  const auto listed = platform::FileSystem::enumerate(path, [&](const auto& entry) {
    if (!entry.isDirectory) {
      files.push_back(entry.path);
    }
  });
  if (!listed) {
    return redactFile(path);  // not a folder
  }
  Result<Unit> outcome = Unit{};
  for (const auto& file : files) {
    if (auto done = redactFile(file); !done && outcome) {
      outcome = done;
    }
  }
  return outcome;
}

Result<Unit> Redactor::setHostRules(const std::vector<Rule>& rules, bool useDefaults) {
  std::vector<Rule> all = rules;
  if (useDefaults) {
    const auto defaults = defaultRules(platform::FileSystem::homeDirectory());
    all.insert(all.end(), defaults.begin(), defaults.end());
  }
  auto made = make(all);
  if (!made) {
    return made.error();
  }
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  s.current = std::make_shared<const Redactor>(std::move(made).value());
  return Unit{};
}

std::shared_ptr<const Redactor> Redactor::current() {
  auto& s = settings();
  std::lock_guard lock(s.mutex);
  if (!s.current) {
    auto made = make(defaultRules(platform::FileSystem::homeDirectory()));
    s.current = std::make_shared<const Redactor>(std::move(made).value());
  }
  return s.current;
}

}  // namespace tessaline
