// The Windows .reg text format ("Windows Registry Editor Version 5.00").
//
// Import reads every line into a list of operations before it touches the
// store, so a malformed file changes nothing. Export writes each value in the
// form that reads back to the same type and bytes: a REG_SZ is written as
// "text" only when its data is exactly one NUL-terminated string, otherwise
// as hex(1):, so a string stored without its NUL survives the round trip.
#include <cstdio>
#include <optional>
#include <variant>

#include "sim/registry/names.h"
#include "sim/registry/node.h"
#include "sim/registry/store.h"

namespace sim::registry {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";

// Native prefix for each .reg root name. HKEY_CURRENT_USER and
// HKEY_CLASSES_ROOT are read, but Export names keys by their native hives.
std::u16string NativeRoot(std::u16string_view root) {
  if (NamesEqual(root, u"HKEY_LOCAL_MACHINE") || NamesEqual(root, u"HKLM")) return std::u16string(kMachineRoot);
  if (NamesEqual(root, u"HKEY_USERS") || NamesEqual(root, u"HKU")) return std::u16string(kUsersRoot);
  if (NamesEqual(root, u"HKEY_CURRENT_USER") || NamesEqual(root, u"HKCU")) return CurrentUserPath();
  if (NamesEqual(root, u"HKEY_CLASSES_ROOT") || NamesEqual(root, u"HKCR"))
    return std::u16string(kMachineRoot) + u"\\SOFTWARE\\Classes";
  return {};
}

struct EnsureOp {
  std::u16string path;
};
struct DeleteKeyOp {
  std::u16string path;
};
struct SetValueOp {
  std::u16string path;
  Value value;
};
struct DeleteValueOp {
  std::u16string path;
  std::u16string name;
};
using Op = std::variant<EnsureOp, DeleteKeyOp, SetValueOp, DeleteValueOp>;

struct ParseFailure {
  int line;
  std::string reason;
};

std::u16string Decode(std::string_view text) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    std::u16string out;
    for (std::size_t i = 2; i + 1 < text.size(); i += 2)
      out.push_back(
          static_cast<char16_t>(static_cast<unsigned char>(text[i]) | (static_cast<unsigned char>(text[i + 1]) << 8)));
    return out;
  }
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return FromUtf8(text);
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Parses a number of 1 to `max_digits` hex digits.
std::optional<uint32_t> ParseHex(std::u16string_view s, std::size_t max_digits) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  uint32_t v = 0;
  for (char16_t c : s) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

class Parser {
 public:
  explicit Parser(std::u16string text) : text_(std::move(text)) {
    std::size_t pos = 0;
    while (pos <= text_.size()) {
      auto end = text_.find(u'\n', pos);
      if (end == std::u16string::npos) end = text_.size();
      std::u16string_view line(text_.data() + pos, end - pos);
      if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
      lines_.push_back(line);
      pos = end + 1;
    }
    // A final newline ends the last line; it does not start another.
    if (lines_.size() > 1 && lines_.back().empty()) lines_.pop_back();
  }

  std::optional<ParseFailure> Run(std::vector<Op>* ops) {
    std::size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    if (i == lines_.size() || Trim(lines_[i]) != kHeader)
      return ParseFailure{static_cast<int>(std::min(i, lines_.size() - 1)) + 1,
                          "the first line is not \"Windows Registry Editor Version 5.00\""};
    std::optional<std::u16string> section;  // empty optional: no section, or a deletion section
    bool in_section = false;
    for (++i; i < lines_.size(); ++i) {
      const int number = static_cast<int>(i) + 1;
      const auto line = Trim(lines_[i]);
      if (line.empty() || line.front() == u';') continue;
      if (line.front() == u'[') {
        if (line.back() != u']') return ParseFailure{number, "a key line does not end with ']'"};
        auto inner = line.substr(1, line.size() - 2);
        const bool remove = !inner.empty() && inner.front() == u'-';
        if (remove) inner.remove_prefix(1);
        std::u16string path;
        if (auto failure = KeyPath(inner, number, &path)) return failure;
        in_section = true;
        if (remove) {
          if (Depth(path) <= 3) return ParseFailure{number, "a hive cannot be deleted"};
          ops->push_back(DeleteKeyOp{path});
          section.reset();
        } else {
          ops->push_back(EnsureOp{path});
          section = path;
        }
        continue;
      }
      if (line.front() != u'"' && line.front() != u'@') return ParseFailure{number, "unexpected text"};
      if (!in_section) return ParseFailure{number, "a value before the first key"};
      if (auto failure = ValueLine(&i, section, ops)) return failure;
    }
    return std::nullopt;
  }

 private:
  static int Depth(std::u16string_view path) {
    int depth = 0;
    for (char16_t c : path) depth += c == u'\\';
    return depth;
  }

  static std::optional<ParseFailure> KeyPath(std::u16string_view inner, int number, std::u16string* path) {
    const auto slash = inner.find(u'\\');
    const auto root = inner.substr(0, slash);
    *path = NativeRoot(root);
    if (path->empty()) return ParseFailure{number, "unknown root key \"" + ToUtf8(root) + "\""};
    if (slash == std::u16string_view::npos) return std::nullopt;
    std::vector<std::u16string_view> parts;
    if (!detail::SplitPath(inner.substr(slash + 1), &parts)) return ParseFailure{number, "an empty key name"};
    for (auto part : parts) *path += u"\\" + std::u16string(part);
    return std::nullopt;
  }

  // Reads a quoted string at the start of `s` (after the opening quote has
  // been checked); leaves `s` after the closing quote.
  static std::optional<std::string> Quoted(std::u16string_view* s, std::u16string* out) {
    s->remove_prefix(1);
    out->clear();
    while (!s->empty()) {
      const char16_t c = s->front();
      s->remove_prefix(1);
      if (c == u'"') return std::nullopt;
      if (c == u'\\') {
        if (s->empty()) break;
        const char16_t e = s->front();
        if (e != u'\\' && e != u'"') return "an unknown escape \\" + ToUtf8(std::u16string(1, e));
        out->push_back(e);
        s->remove_prefix(1);
        continue;
      }
      out->push_back(c);
    }
    return "a string without its closing quote";
  }

  std::optional<ParseFailure> ValueLine(std::size_t* index, const std::optional<std::u16string>& section,
                                        std::vector<Op>* ops) {
    const int number = static_cast<int>(*index) + 1;
    auto fail = [&](std::string reason) { return ParseFailure{number, std::move(reason)}; };
    std::u16string_view s = Trim(lines_[*index]);
    std::u16string name;
    if (s.front() == u'@') {
      s.remove_prefix(1);
    } else if (auto error = Quoted(&s, &name)) {
      return fail(*error);
    }
    s = Trim(s);
    if (s.empty() || s.front() != u'=') return fail("'=' expected after the value name");
    s = Trim(s.substr(1));

    Value value;
    value.name = name;
    if (s == u"-") {
      if (section) ops->push_back(DeleteValueOp{*section, name});
      return std::nullopt;
    }
    if (!s.empty() && s.front() == u'"') {
      std::u16string text;
      if (auto error = Quoted(&s, &text)) return fail(*error);
      if (!Trim(s).empty()) return fail("text after the closing quote");
      value.type = type::kSz;
      text.push_back(u'\0');
      value.data.resize(text.size() * 2);
      for (std::size_t k = 0; k < text.size(); ++k) {
        value.data[2 * k] = static_cast<uint8_t>(text[k] & 0xFF);
        value.data[2 * k + 1] = static_cast<uint8_t>(text[k] >> 8);
      }
    } else if (s.substr(0, 6) == u"dword:") {
      const auto v = ParseHex(s.substr(6), 8);
      if (!v) return fail("a dword needs 1 to 8 hex digits");
      value.type = type::kDword;
      for (int k = 0; k < 4; ++k) value.data.push_back(static_cast<uint8_t>(*v >> (8 * k)));
    } else if (s.substr(0, 3) == u"hex") {
      s.remove_prefix(3);
      value.type = type::kBinary;
      if (!s.empty() && s.front() == u'(') {
        const auto close = s.find(u')');
        const auto t = close == std::u16string_view::npos ? std::nullopt : ParseHex(s.substr(1, close - 1), 8);
        if (!t) return fail("a bad value type in hex(...)");
        value.type = *t;
        s.remove_prefix(close + 1);
      }
      if (s.empty() || s.front() != u':') return fail("':' expected after hex");
      // The byte list may continue over lines that end with a backslash.
      std::u16string bytes(s.substr(1));
      while (!bytes.empty() && Trim(bytes).back() == u'\\') {
        bytes = std::u16string(Trim(bytes));
        bytes.pop_back();
        if (++*index >= lines_.size()) return fail("the file ends inside a continued line");
        bytes += Trim(lines_[*index]);
      }
      const auto list = Trim(bytes);
      std::size_t pos = 0;
      while (pos < list.size()) {
        auto comma = list.find(u',', pos);
        const auto item =
            Trim(list.substr(pos, comma == std::u16string_view::npos ? std::u16string_view::npos : comma - pos));
        const auto byte = ParseHex(item, 2);
        if (!byte) return fail("a bad byte \"" + ToUtf8(item) + "\" in a hex list");
        value.data.push_back(static_cast<uint8_t>(*byte));
        if (comma == std::u16string_view::npos) break;
        pos = comma + 1;
        if (pos == list.size()) return fail("a hex list ends with a comma");
      }
    } else {
      return fail("unknown value data");
    }
    if (section) ops->push_back(SetValueOp{*section, std::move(value)});
    return std::nullopt;
  }

  std::u16string text_;
  std::vector<std::u16string_view> lines_;
};

// --- Export ---

std::string RegName(std::u16string_view native) {
  if (PathStartsWith(native, kMachineRoot)) return "HKEY_LOCAL_MACHINE" + ToUtf8(native.substr(kMachineRoot.size()));
  return "HKEY_USERS" + ToUtf8(native.substr(kUsersRoot.size()));
}

std::string Escaped(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out.push_back('\\');
    out += ToUtf8(std::u16string_view(&c, 1));
  }
  return out;
}

// True when the data is one NUL-terminated UTF-16 string that the quoted form
// reproduces exactly.
bool IsPlainString(const Value& v, std::u16string* text) {
  if (v.type != type::kSz || v.data.size() < 2 || v.data.size() % 2 != 0) return false;
  text->clear();
  for (std::size_t k = 0; k < v.data.size(); k += 2)
    text->push_back(static_cast<char16_t>(v.data[k] | (v.data[k + 1] << 8)));
  if (text->back() != u'\0') return false;
  text->pop_back();
  for (std::size_t k = 0; k < text->size(); ++k) {
    const char16_t c = (*text)[k];
    if (c == u'\0' || c == u'\r' || c == u'\n') return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (k + 1 >= text->size() || (*text)[k + 1] < 0xDC00 || (*text)[k + 1] > 0xDFFF) return false;
      ++k;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

void WriteValue(const Value& v, std::string* out) {
  std::string line = v.name.empty() ? "@=" : "\"" + Escaped(v.name) + "\"=";
  std::u16string text;
  char buffer[16];
  if (IsPlainString(v, &text)) {
    *out += line + "\"" + Escaped(text) + "\"\r\n";
    return;
  }
  if (v.type == type::kDword && v.data.size() == 4) {
    const uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    std::snprintf(buffer, sizeof buffer, "%08x", d);
    *out += line + "dword:" + buffer + "\r\n";
    return;
  }
  if (v.type == type::kBinary) {
    line += "hex:";
  } else {
    std::snprintf(buffer, sizeof buffer, "%x", v.type);
    line += std::string("hex(") + buffer + "):";
  }
  // regedit's layout: lines of at most 80 columns, continued with a backslash.
  for (std::size_t k = 0; k < v.data.size(); ++k) {
    if (k > 0) {
      line += ",";
      if (line.size() + 3 > 79) {
        *out += line + "\\\r\n";
        line = "  ";
      }
    }
    std::snprintf(buffer, sizeof buffer, "%02x", v.data[k]);
    line += buffer;
  }
  *out += line + "\r\n";
}

void WriteKey(const Node& node, const std::u16string& path, std::string* out) {
  if (node.volatile_key) return;
  *out += "[" + RegName(path) + "]\r\n";
  for (const auto& v : node.values) WriteValue(v, out);
  *out += "\r\n";
  for (const auto& [upper, child] : node.children) WriteKey(*child, path + u"\\" + child->name, out);
}

}  // namespace

Status Store::Import(std::string_view text, ImportError* error) {
  std::vector<Op> ops;
  Parser parser(Decode(text));
  if (auto failure = parser.Run(&ops)) {
    if (error) *error = ImportError{failure->line, failure->reason};
    return Status::BadFormat;
  }
  std::lock_guard lock(mutex_);
  for (const auto& op : ops) {
    if (auto* ensure = std::get_if<EnsureOp>(&op)) {
      Impl::Ensure(*this, ensure->path, nullptr);
    } else if (auto* remove = std::get_if<DeleteKeyOp>(&op)) {
      std::shared_ptr<Node> node;
      std::vector<std::u16string_view> parts;
      if (Impl::Start(*this, nullptr, remove->path, &node, &parts) != Status::Success) continue;
      node = Impl::Walk(node, parts, parts.size());
      if (!node) continue;
      node->parent->children.erase(Upcase(node->name));
      node->parent->last_write_time = Impl::Now();
      Impl::MarkDeleted(node.get());
    } else {
      std::shared_ptr<Node> node;
      const auto& path =
          std::holds_alternative<SetValueOp>(op) ? std::get<SetValueOp>(op).path : std::get<DeleteValueOp>(op).path;
      Impl::Ensure(*this, path, &node);
      auto& values = node->values;
      if (auto* set = std::get_if<SetValueOp>(&op)) {
        if (Value* existing = Impl::FindValue(node.get(), set->value.name)) {
          existing->type = set->value.type;
          existing->data = set->value.data;
        } else {
          values.push_back(set->value);
        }
      } else {
        const auto& name = std::get<DeleteValueOp>(op).name;
        std::erase_if(values, [&](const Value& v) { return NamesEqual(v.name, name); });
      }
      node->last_write_time = Impl::Now();
    }
  }
  return Status::Success;
}

Status Store::Export(std::u16string_view absolute_path, std::string* text) {
  if (!text) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  std::vector<std::u16string_view> parts;
  const Status status = Impl::Start(*this, nullptr, absolute_path, &node, &parts);
  if (status != Status::Success) return status;
  node = Impl::Walk(node, parts, parts.size());
  if (!node) return Status::NotFound;
  std::string out = ToUtf8(kHeader) + "\r\n\r\n";
  if (node == root_) {
    for (const auto& [upper, hive] : root_->children)
      WriteKey(*hive, std::u16string(kRegistryRoot) + u"\\" + hive->name, &out);
  } else {
    // Names as stored, not as the caller spelled them.
    std::vector<const Node*> chain;
    for (const Node* n = node.get(); n->parent; n = n->parent) chain.push_back(n);
    std::u16string path(kRegistryRoot);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    WriteKey(*node, path, &out);
  }
  *text = std::move(out);
  return Status::Success;
}

}  // namespace sim::registry
