#include <Tessaline/diagnostics/Redactor.h>

#include <platform/AtomicFile.h>
#include <platform/FileSystem.h>

#include <re2/re2.h>
#include <re2/set.h>

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
    int groupsUsed = 0;  // the highest \N in the replacement
  };
  // All rules as one alternation: one scan finds where the next match is.
  std::unique_ptr<RE2> combined;
  // Every rule with one byte of any kind on either side: one question over a match and its two
  // neighbours tells every rule that matches exactly that span.
  std::unique_ptr<RE2::Set> spans;
  std::vector<Entry> entries;
  int maxGroupsUsed = 0;

  // Reused from match to match.
  struct Scratch {
    std::vector<re2::StringPiece> groups;
    std::vector<int> matching;
  };
  // Appends the replacement for the match the combined scan found at [start, end).
  void rewrite(std::string_view text, std::size_t start, std::size_t end, std::string& out,
               Scratch& scratch) const;
};

void Redactor::Compiled::rewrite(std::string_view text, std::size_t start, std::size_t end,
                                 std::string& out, Scratch& scratch) const {
  // The rule that matched is the first one matching exactly [start, end). \b, ^ and $ look at one
  // byte either side, so the rules are asked about the match and those two bytes only.
  const std::size_t from = start > 0 ? start - 1 : 0;
  const std::size_t to = std::min(end + 1, text.size());
  const re2::StringPiece window(text.data() + from, to - from);
  const Entry* rule = nullptr;
  if (spans && from < start && end < to && spans->Match(window, &scratch.matching) &&
      !scratch.matching.empty()) {
    rule = &entries[static_cast<std::size_t>(
        *std::min_element(scratch.matching.begin(), scratch.matching.end()))];
  }
  // At either end of the text, or if the set ran out of memory: each rule in turn. Some rule
  // matched, so the last one needs no asking.
  for (std::size_t i = 0; !rule && i < entries.size(); ++i) {
    if (i + 1 == entries.size() ||
        entries[i].re->Match(window, start - from, end - from, RE2::ANCHOR_BOTH, nullptr, 0)) {
      rule = &entries[i];
    }
  }
  auto& groups = scratch.groups;
  groups[0] = re2::StringPiece(text.data() + start, end - start);
  const int used = 1 + rule->groupsUsed;
  if (used == 1 ||
      rule->re->Match(window, start - from, end - from, RE2::ANCHOR_BOTH, groups.data(), used)) {
    rule->re->Rewrite(&out, rule->replacement, groups.data(), used);
  } else {
    out.append(text.substr(start, end - start));  // cannot happen; nothing is lost if it does
  }
}

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
    const int used = RE2::MaxSubmatch(rule.replacement);
    compiled->maxGroupsUsed = std::max(compiled->maxGroupsUsed, used);
    compiled->entries.push_back({std::move(single), rule.replacement, used});
  }
  if (!rules.empty()) {
    compiled->combined = std::make_unique<RE2>(combined, options());
    if (!compiled->combined->ok()) {
      return Error(Error::Kind::generic,
                   "The redaction rules are not valid together: " + compiled->combined->error());
    }
    auto spans = std::make_unique<RE2::Set>(options(), RE2::ANCHOR_BOTH);
    bool added = rules.size() > 1;  // a lone rule is the one that matched
    for (const auto& rule : rules) {
      added = added && spans->Add("\\C(?:" + rule.pattern + ")\\C", nullptr) >= 0;
    }
    if (added && spans->Compile()) {
      compiled->spans = std::move(spans);  // without it each rule is asked in turn
    }
  }
  return Redactor(std::move(compiled));
}

std::string Redactor::apply(std::string_view text) const {
  if (!compiled_ || !compiled_->combined) {
    return std::string(text);
  }
  const re2::StringPiece input(text.data(), text.size());
  Compiled::Scratch scratch;
  scratch.groups.resize(1 + static_cast<std::size_t>(compiled_->maxGroupsUsed));
  scratch.matching.reserve(compiled_->entries.size());
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  re2::StringPiece found;
  // The combined scan runs without groups (its fastest form); only the rule that matched
  // extracts its groups, over a few bytes.
  while (position <= text.size() &&
         compiled_->combined->Match(input, position, text.size(), RE2::UNANCHORED, &found, 1)) {
    const auto start = static_cast<std::size_t>(found.data() - text.data());
    const std::size_t end = start + found.size();
    out.append(text.substr(position, start - position));
    compiled_->rewrite(text, start, end, out, scratch);
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
