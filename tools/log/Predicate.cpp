#include <tools/log/Predicate.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace tessaline::tools::log {

enum class Key { process, subsystem, category, eventMessage };
enum class Operator { contains, beginsWith, endsWith, equals, notEquals };

struct Predicate::Node {
  enum class Kind { constant, comparison, negation, conjunction, disjunction } kind;
  bool constant = false;
  Key key = Key::process;
  Operator op = Operator::equals;
  bool ignoreCase = false;
  std::string value;                    // lower-cased already when ignoreCase
  std::shared_ptr<const Node> operand;  // of a negation
  // Of a conjunction or disjunction, all of one chain: a long "a OR b OR ..." stays one level
  // deep, so evaluating, describing and freeing it never exhausts the stack.
  std::vector<std::shared_ptr<const Node>> operands;
};

namespace {

using Node = Predicate::Node;
using NodePtr = std::shared_ptr<const Node>;

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool sameKeyword(std::string_view word, std::string_view keyword) {
  return lowered(word) == keyword;
}

struct Token {
  enum class Kind { word, string, symbol, modifier, end } kind;
  std::string text;
  std::size_t offset;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::variant<NodePtr, Predicate::ParseError> parse() {
    if (!tokenize()) {
      return error_;
    }
    auto root = parseOr();
    if (root && peek().kind != Token::Kind::end) {
      fail("unexpected " + describe(peek()), peek().offset);
      root = nullptr;
    }
    if (!root) {
      return error_;
    }
    return root;
  }

 private:
  bool tokenize() {
    std::size_t i = 0;
    while (i < text_.size()) {
      const char c = text_[i];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++i;
      } else if (c == '\'' || c == '"') {
        const std::size_t start = i++;
        std::string value;
        bool closed = false;
        while (i < text_.size()) {
          char d = text_[i++];
          if (d == c) {
            closed = true;
            break;
          }
          if (d == '\\' && i < text_.size()) {
            d = text_[i++];
            if (d == 'n') {
              d = '\n';
            } else if (d == 't') {
              d = '\t';
            }
          }
          value += d;
        }
        if (!closed) {
          return fail("unterminated string", start);
        }
        tokens_.push_back({Token::Kind::string, std::move(value), start});
      } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        const std::size_t start = i;
        while (i < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[i])) || text_[i] == '_')) {
          ++i;
        }
        tokens_.push_back({Token::Kind::word, std::string(text_.substr(start, i - start)), start});
      } else if (c == '[') {
        const auto close = text_.find(']', i);
        if (close == std::string_view::npos) {
          return fail("unterminated modifier", i);
        }
        tokens_.push_back({Token::Kind::modifier, lowered(text_.substr(i + 1, close - i - 1)), i});
        i = close + 1;
      } else {
        static constexpr std::string_view symbols[] = {"==", "!=", "<>", "&&", "||",
                                                       "=",  "!",  "(",  ")"};
        const auto rest = text_.substr(i);
        const auto found =
            std::find_if(std::begin(symbols), std::end(symbols),
                         [&rest](std::string_view s) { return rest.starts_with(s); });
        if (found == std::end(symbols)) {
          return fail(std::string("unexpected character '") + c + "'", i);
        }
        tokens_.push_back({Token::Kind::symbol, std::string(*found), i});
        i += found->size();
      }
    }
    tokens_.push_back({Token::Kind::end, {}, text_.size()});
    return true;
  }

  const Token& peek() const { return tokens_[position_]; }
  const Token& take() {
    const Token& token = tokens_[position_];
    if (token.kind != Token::Kind::end) {
      ++position_;
    }
    return token;
  }

  bool isWord(const Token& token, std::string_view keyword) const {
    return token.kind == Token::Kind::word && sameKeyword(token.text, keyword);
  }
  bool isSymbol(const Token& token, std::string_view symbol) const {
    return token.kind == Token::Kind::symbol && token.text == symbol;
  }

  static std::string describe(const Token& token) {
    switch (token.kind) {
      case Token::Kind::end:
        return "end of predicate";
      case Token::Kind::string:
        return "string \"" + token.text + "\"";
      case Token::Kind::modifier:
        return "modifier [" + token.text + "]";
      default:
        return "'" + token.text + "'";
    }
  }

  bool fail(std::string message, std::size_t offset) {
    if (error_.message.empty()) {
      error_ = {std::move(message) + " at character " + std::to_string(offset + 1), offset};
    }
    return false;
  }

  static NodePtr negation(NodePtr operand) {
    auto node = std::make_shared<Node>();
    node->kind = Node::Kind::negation;
    node->operand = std::move(operand);
    return node;
  }

  // One operand, or a node of the given kind with every operand of the chain.
  static NodePtr chain(Node::Kind kind, std::vector<NodePtr> operands) {
    if (operands.size() == 1) {
      return std::move(operands.front());
    }
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->operands = std::move(operands);
    return node;
  }

  NodePtr parseOr() {
    std::vector<NodePtr> operands;
    for (;;) {
      auto operand = parseAnd();
      if (!operand) {
        return nullptr;
      }
      operands.push_back(std::move(operand));
      if (!isWord(peek(), "or") && !isSymbol(peek(), "||")) {
        return chain(Node::Kind::disjunction, std::move(operands));
      }
      take();
    }
  }

  NodePtr parseAnd() {
    std::vector<NodePtr> operands;
    for (;;) {
      auto operand = parseNot();
      if (!operand) {
        return nullptr;
      }
      operands.push_back(std::move(operand));
      if (!isWord(peek(), "and") && !isSymbol(peek(), "&&")) {
        return chain(Node::Kind::conjunction, std::move(operands));
      }
      take();
    }
  }

  NodePtr parseNot() {
    if (++depth_ > 200) {
      fail("predicate nested too deeply", peek().offset);
      return nullptr;
    }
    struct Leave {
      int& depth;
      ~Leave() { --depth; }
    } leave{depth_};

    const Token& token = peek();
    if (isWord(token, "not") || isSymbol(token, "!")) {
      take();
      auto operand = parseNot();
      return operand ? negation(std::move(operand)) : nullptr;
    }
    if (isSymbol(token, "(")) {
      take();
      auto inner = parseOr();
      if (!inner) {
        return nullptr;
      }
      if (!isSymbol(peek(), ")")) {
        fail("expected ')' but found " + describe(peek()), peek().offset);
        return nullptr;
      }
      take();
      return inner;
    }
    if (isWord(token, "truepredicate") || isWord(token, "falsepredicate")) {
      auto node = std::make_shared<Node>();
      node->kind = Node::Kind::constant;
      node->constant = isWord(token, "truepredicate");
      take();
      return node;
    }
    return parseComparison();
  }

  NodePtr parseComparison() {
    const Token& keyToken = take();
    if (keyToken.kind != Token::Kind::word) {
      fail("expected a key but found " + describe(keyToken), keyToken.offset);
      return nullptr;
    }
    auto node = std::make_shared<Node>();
    node->kind = Node::Kind::comparison;
    if (keyToken.text == "process") {
      node->key = Key::process;
    } else if (keyToken.text == "subsystem") {
      node->key = Key::subsystem;
    } else if (keyToken.text == "category") {
      node->key = Key::category;
    } else if (keyToken.text == "eventMessage") {
      node->key = Key::eventMessage;
    } else {
      fail(
          "unknown key '" + keyToken.text + "' (known: process, subsystem, category, eventMessage)",
          keyToken.offset);
      return nullptr;
    }

    const Token& opToken = take();
    if (isWord(opToken, "contains")) {
      node->op = Operator::contains;
    } else if (isWord(opToken, "beginswith")) {
      node->op = Operator::beginsWith;
    } else if (isWord(opToken, "endswith")) {
      node->op = Operator::endsWith;
    } else if (isSymbol(opToken, "==") || isSymbol(opToken, "=")) {
      node->op = Operator::equals;
    } else if (isSymbol(opToken, "!=") || isSymbol(opToken, "<>")) {
      node->op = Operator::notEquals;
    } else {
      fail("expected an operator (CONTAINS, BEGINSWITH, ENDSWITH, ==, !=) after '" + keyToken.text +
               "' but found " + describe(opToken),
           opToken.offset);
      return nullptr;
    }

    if (peek().kind == Token::Kind::modifier) {
      const Token& modifier = take();
      if (modifier.text != "c" && modifier.text != "d" && modifier.text != "cd" &&
          modifier.text != "dc") {
        fail("unknown modifier [" + modifier.text + "]", modifier.offset);
        return nullptr;
      }
      node->ignoreCase = modifier.text.find('c') != std::string::npos;
    }

    const Token& valueToken = take();
    if (valueToken.kind != Token::Kind::string) {
      fail(
          "expected a quoted string after '" + opToken.text + "' but found " + describe(valueToken),
          valueToken.offset);
      return nullptr;
    }
    node->value = node->ignoreCase ? lowered(valueToken.text) : valueToken.text;
    return node;
  }

  std::string_view text_;
  std::vector<Token> tokens_;
  std::size_t position_ = 0;
  int depth_ = 0;
  Predicate::ParseError error_;
};

bool compare(const Node& node, std::string_view candidate) {
  std::string folded;
  if (node.ignoreCase) {
    folded = lowered(candidate);
    candidate = folded;
  }
  const std::string_view value = node.value;
  switch (node.op) {
    case Operator::contains:
      return candidate.find(value) != std::string_view::npos;
    case Operator::beginsWith:
      return candidate.starts_with(value);
    case Operator::endsWith:
      return candidate.ends_with(value);
    case Operator::equals:
      return candidate == value;
    case Operator::notEquals:
      return candidate != value;
  }
  return false;
}

bool evaluate(const Node& node, const LogEntry& entry) {
  switch (node.kind) {
    case Node::Kind::constant:
      return node.constant;
    case Node::Kind::negation:
      return !evaluate(*node.operand, entry);
    case Node::Kind::conjunction:
      return std::all_of(node.operands.begin(), node.operands.end(),
                         [&entry](const NodePtr& operand) { return evaluate(*operand, entry); });
    case Node::Kind::disjunction:
      return std::any_of(node.operands.begin(), node.operands.end(),
                         [&entry](const NodePtr& operand) { return evaluate(*operand, entry); });
    case Node::Kind::comparison:
      switch (node.key) {
        case Key::process:
          // A process is known by its command name and by the identifier it logs under.
          if (node.op == Operator::notEquals) {
            return compare(node, entry.command) && compare(node, entry.syslogIdentifier);
          }
          return compare(node, entry.command) || compare(node, entry.syslogIdentifier);
        case Key::subsystem:
          return compare(node, entry.subsystem);
        case Key::category:
          return compare(node, entry.category);
        case Key::eventMessage:
          return compare(node, entry.message);
      }
  }
  return false;
}

std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

std::string describeNode(const Node& node) {
  switch (node.kind) {
    case Node::Kind::constant:
      return node.constant ? "TRUEPREDICATE" : "FALSEPREDICATE";
    case Node::Kind::negation:
      return "NOT " + describeNode(*node.operand);
    case Node::Kind::conjunction:
    case Node::Kind::disjunction: {
      const char* separator = node.kind == Node::Kind::conjunction ? " AND " : " OR ";
      std::string text = "(";
      for (std::size_t i = 0; i < node.operands.size(); ++i) {
        text += (i == 0 ? "" : separator) + describeNode(*node.operands[i]);
      }
      return text + ")";
    }
    case Node::Kind::comparison:
      break;
  }
  static constexpr const char* keys[] = {"process", "subsystem", "category", "eventMessage"};
  static constexpr const char* ops[] = {"CONTAINS", "BEGINSWITH", "ENDSWITH", "==", "!="};
  return std::string(keys[static_cast<int>(node.key)]) + " " + ops[static_cast<int>(node.op)] +
         (node.ignoreCase ? "[c] " : " ") + quoted(node.value);
}

}  // namespace

std::variant<Predicate, Predicate::ParseError> Predicate::parse(std::string_view text) {
  auto parsed = Parser(text).parse();
  if (auto* error = std::get_if<ParseError>(&parsed)) {
    return *error;
  }
  return Predicate(std::get<NodePtr>(std::move(parsed)));
}

bool Predicate::matches(const LogEntry& entry) const {
  return evaluate(*root_, entry);
}

std::string Predicate::description() const {
  return describeNode(*root_);
}

}  // namespace tessaline::tools::log
