// ora_rc: compiles a module's resource script into a C++ source file that
// holds each resource's bytes, laid out as Windows' resource compiler lays
// them out, and a table exported as ora_resource_table (see
// sim/win32/resource_table.h).
//
//   ora_rc [-I dir]... [-D name[=value]]... [--depfile file] input.rc output.cpp
//
// The script language is the part of the resource compiler's that our
// scripts use: #include, #define, #ifdef/#ifndef/#else/#endif, LANGUAGE,
// DIALOGEX with STYLE, EXSTYLE, CAPTION, FONT and the usual control
// statements, STRINGTABLE, VERSIONINFO, BITMAP, and resources of any other
// type taken from a file (REGISTRY, TYPELIB). Anything else is an error that
// names the file and line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32/dialog.h"
#include "platform/win32/resource.h"

namespace {

namespace fs = std::filesystem;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// --- source text with #include, #define and conditionals resolved ---

struct Line {
  std::string text;
  std::string file;
  int number;
};

struct Preprocessor {
  std::vector<fs::path> include_dirs;
  std::map<std::string, std::string> defines;
  std::vector<std::string> dependencies;
  std::vector<Line> lines;

  fs::path Find(const std::string& name, const fs::path& from) const {
    if (fs::exists(from / name)) return from / name;
    for (const auto& dir : include_dirs)
      if (fs::exists(dir / name)) return dir / name;
    return {};
  }

  static std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
  }

  void Read(const fs::path& path) {
    std::ifstream in(path);
    if (!in) throw Failure("cannot read " + path.string());
    dependencies.push_back(fs::absolute(path).string());
    std::vector<bool> active{true};
    std::string raw;
    int number = 0;
    bool in_comment = false;
    while (std::getline(in, raw)) {
      ++number;
      // Comments go first, so a directive may carry one.
      std::string text;
      bool in_string = false;
      for (size_t i = 0; i < raw.size(); ++i) {
        if (in_comment) {
          if (raw.compare(i, 2, "*/") == 0) {
            in_comment = false;
            ++i;
          }
          continue;
        }
        if (raw[i] == '"') in_string = !in_string;
        if (!in_string && raw.compare(i, 2, "//") == 0) break;
        if (!in_string && raw.compare(i, 2, "/*") == 0) {
          in_comment = true;
          ++i;
          continue;
        }
        text.push_back(raw[i]);
      }
      const std::string line = Trim(text);
      const auto where = path.string() + ":" + std::to_string(number);
      if (!line.empty() && line[0] == '#') {
        std::istringstream words(line.substr(1));
        std::string directive;
        words >> directive;
        std::string rest;
        std::getline(words, rest);
        rest = Trim(rest);
        if (directive == "ifdef" || directive == "ifndef") {
          const bool defined = defines.count(rest) != 0;
          active.push_back(active.back() && (directive == "ifdef" ? defined : !defined));
        } else if (directive == "else") {
          if (active.size() < 2) throw Failure(where + ": #else without #if");
          const bool was = active.back();
          active.pop_back();
          active.push_back(active.back() && !was);
        } else if (directive == "endif") {
          if (active.size() < 2) throw Failure(where + ": #endif without #if");
          active.pop_back();
        } else if (!active.back()) {
          continue;
        } else if (directive == "include") {
          // System headers give the compiler's own names, which we know already.
          if (!rest.empty() && rest[0] == '<') continue;
          if (rest.size() < 2 || rest[0] != '"') throw Failure(where + ": bad #include");
          const std::string name = rest.substr(1, rest.find('"', 1) - 1);
          const fs::path found = Find(name, path.parent_path());
          if (found.empty()) throw Failure(where + ": cannot find " + name);
          Read(found);
        } else if (directive == "define") {
          std::istringstream parts(rest);
          std::string name;
          parts >> name;
          std::string value;
          std::getline(parts, value);
          defines[name] = Trim(value);
        } else if (directive == "pragma" || directive == "undef") {
          if (directive == "undef") defines.erase(rest);
        } else {
          throw Failure(where + ": unsupported directive #" + directive);
        }
        continue;
      }
      if (active.back() && !line.empty()) lines.push_back({line, path.string(), number});
    }
    if (active.size() != 1) throw Failure(path.string() + ": #if without #endif");
  }
};

// --- tokens ---

struct Token {
  enum Kind { Word, Number, String, Punct, End } kind;
  std::string text;
  int64_t number = 0;
  std::string where;
};

std::vector<Token> Tokenize(const std::vector<Line>& lines) {
  std::vector<Token> tokens;
  for (const auto& line : lines) {
    const std::string& s = line.text;
    const std::string where = line.file + ":" + std::to_string(line.number);
    for (size_t i = 0; i < s.size();) {
      const char c = s[i];
      if (c == ' ' || c == '\t' || c == '\r') {
        ++i;
      } else if (c == '"' || (c == 'L' && i + 1 < s.size() && s[i + 1] == '"')) {
        if (c == 'L') ++i;
        std::string text;
        ++i;
        for (;;) {
          if (i >= s.size()) throw Failure(where + ": unterminated string");
          if (s[i] == '"') {
            if (i + 1 < s.size() && s[i + 1] == '"') {
              text.push_back('"');
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          if (s[i] == '\\' && i + 1 < s.size()) {
            const char e = s[i + 1];
            text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == '0' ? '\0' : e);
            i += 2;
            continue;
          }
          text.push_back(s[i++]);
        }
        tokens.push_back({Token::String, text, 0, where});
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        size_t end = i;
        while (end < s.size() && std::isalnum(static_cast<unsigned char>(s[end]))) ++end;
        std::string text = s.substr(i, end - i);
        if (!text.empty() && (text.back() == 'L' || text.back() == 'l')) text.pop_back();
        char* stop = nullptr;
        const int64_t value = std::strtoll(text.c_str(), &stop, 0);
        if (*stop != 0) throw Failure(where + ": bad number " + text);
        tokens.push_back({Token::Number, text, value, where});
        i = end;
      } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        size_t end = i;
        while (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) || s[end] == '_')) ++end;
        tokens.push_back({Token::Word, s.substr(i, end - i), 0, where});
        i = end;
      } else {
        tokens.push_back({Token::Punct, std::string(1, c), 0, where});
        ++i;
      }
    }
  }
  tokens.push_back({Token::End, "", 0, "end of input"});
  return tokens;
}

// --- names the scripts may use in expressions ---

const std::map<std::string, int64_t>& KnownNames() {
  static const std::map<std::string, int64_t> names = {
#define NAME(x) {#x, static_cast<int64_t>(x)}
      NAME(WS_POPUP),          NAME(WS_CHILD),
      NAME(WS_VISIBLE),        NAME(WS_DISABLED),
      NAME(WS_CAPTION),        NAME(WS_BORDER),
      NAME(WS_DLGFRAME),       NAME(WS_VSCROLL),
      NAME(WS_HSCROLL),        NAME(WS_SYSMENU),
      NAME(WS_THICKFRAME),     NAME(WS_GROUP),
      NAME(WS_TABSTOP),        NAME(WS_EX_DLGMODALFRAME),
      NAME(DS_3DLOOK),         NAME(DS_SETFONT),
      NAME(DS_MODALFRAME),     NAME(DS_SETFOREGROUND),
      NAME(DS_CENTER),         NAME(DS_SHELLFONT),
      NAME(BS_PUSHBUTTON),     NAME(BS_DEFPUSHBUTTON),
      NAME(BS_GROUPBOX),       NAME(SS_LEFT),
      NAME(SS_RIGHT),          NAME(SS_BITMAP),
      NAME(CBS_SIMPLE),        NAME(CBS_DROPDOWN),
      NAME(CBS_DROPDOWNLIST),  NAME(LANG_NEUTRAL),
      NAME(LANG_ENGLISH),      NAME(SUBLANG_NEUTRAL),
      NAME(SUBLANG_DEFAULT),   NAME(SUBLANG_ENGLISH_US),
      NAME(VS_FF_DEBUG),       NAME(VOS_NT_WINDOWS32),
      NAME(VFT_DLL),           NAME(IDOK),
      NAME(IDCANCEL),
#undef NAME
      {"VOS__WINDOWS32", 0x4}, {"VS_VERSION_INFO", 1},
      {"VFT2_UNKNOWN", 0},     {"VS_FFI_FILEFLAGSMASK", 0x3F},
      {"IDC_STATIC", -1},
  };
  return names;
}

// --- output bytes ---

struct Bytes {
  std::vector<uint8_t> data;
  void Word(uint32_t v) {
    data.push_back(static_cast<uint8_t>(v));
    data.push_back(static_cast<uint8_t>(v >> 8));
  }
  void Dword(uint32_t v) {
    Word(v & 0xFFFF);
    Word(v >> 16);
  }
  // Text as UTF-16 (the scripts are in code page 1252's Latin-1 range), terminated.
  void Text(const std::string& s) {
    for (unsigned char c : s) Word(c);
    Word(0);
  }
  void Align(size_t n) {
    while (data.size() % n) data.push_back(0);
  }
  void SetWord(size_t at, uint32_t v) {
    data[at] = static_cast<uint8_t>(v);
    data[at + 1] = static_cast<uint8_t>(v >> 8);
  }
};

struct Resource {
  std::optional<std::string> type_name;
  uint16_t type_id = 0;
  std::optional<std::string> name;
  uint16_t name_id = 0;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class Compiler {
 public:
  Compiler(std::vector<Token> tokens, Preprocessor& pre) : tokens_(std::move(tokens)), pre_(pre) {}

  std::vector<Resource> Run() {
    while (Peek().kind != Token::End) Statement();
    for (auto& [block, strings] : string_blocks_) {
      Bytes bytes;
      for (const auto& s : strings) {
        bytes.Word(static_cast<uint32_t>(s.size()));
        for (unsigned char c : s) bytes.Word(c);
      }
      Resource r;
      r.type_id = 6;
      r.name_id = static_cast<uint16_t>(block.second);
      r.language = block.first;
      r.data = bytes.data;
      resources_.push_back(r);
    }
    return resources_;
  }

 private:
  const Token& Peek(size_t ahead = 0) const { return tokens_[std::min(at_ + ahead, tokens_.size() - 1)]; }
  Token Next() {
    Token t = Peek();
    if (t.kind != Token::End) ++at_;
    return t;
  }
  [[noreturn]] void Fail(const Token& t, const std::string& what) const {
    throw Failure(t.where + ": " + what + (t.text.empty() ? "" : " at '" + t.text + "'"));
  }
  bool IsWord(const char* word, size_t ahead = 0) const {
    return Peek(ahead).kind == Token::Word && Peek(ahead).text == word;
  }
  bool IsPunct(char c) const { return Peek().kind == Token::Punct && Peek().text[0] == c; }
  void Expect(char c) {
    if (!IsPunct(c)) Fail(Peek(), std::string("expected '") + c + "'");
    Next();
  }
  bool Comma() {
    if (!IsPunct(',')) return false;
    Next();
    return true;
  }
  void Begin() {
    if (IsWord("BEGIN") || IsPunct('{')) {
      Next();
      return;
    }
    Fail(Peek(), "expected BEGIN");
  }
  bool AtEnd() const { return IsWord("END") || IsPunct('}'); }
  std::string StringToken() {
    if (Peek().kind != Token::String) Fail(Peek(), "expected a string");
    return Next().text;
  }

  // A name that a #define may stand for.
  std::optional<int64_t> Defined(const std::string& name) const {
    auto it = pre_.defines.find(name);
    if (it != pre_.defines.end()) {
      char* stop = nullptr;
      std::string value = it->second;
      if (!value.empty() && value.front() == '(' && value.back() == ')') value = value.substr(1, value.size() - 2);
      const int64_t number = std::strtoll(value.c_str(), &stop, 0);
      if (*stop == 0 && !value.empty()) return number;
      if (auto known = KnownNames().find(value); known != KnownNames().end()) return known->second;
      return std::nullopt;
    }
    if (auto known = KnownNames().find(name); known != KnownNames().end()) return known->second;
    return std::nullopt;
  }

  int64_t Primary() {
    const Token t = Next();
    if (t.kind == Token::Number) return t.number;
    if (t.kind == Token::Word) {
      if (auto value = Defined(t.text)) return *value;
      Fail(t, "unknown name");
    }
    if (t.kind == Token::Punct && t.text == "(") {
      const int64_t value = Expression();
      Expect(')');
      return value;
    }
    if (t.kind == Token::Punct && t.text == "-") return -Primary();
    if (t.kind == Token::Punct && t.text == "~") return ~Primary();
    Fail(t, "expected a number");
  }

  int64_t Expression() {
    int64_t value = Primary();
    while (IsPunct('|') || IsPunct('+')) {
      const char op = Next().text[0];
      const int64_t right = Primary();
      value = op == '|' ? (value | right) : (value + right);
    }
    return value;
  }

  // A style: flags to set and, after NOT, flags to clear from the defaults.
  struct Style {
    uint32_t set = 0;
    uint32_t clear = 0;
  };
  Style StyleExpression() {
    Style style;
    for (;;) {
      if (IsWord("NOT")) {
        Next();
        style.clear |= static_cast<uint32_t>(Primary());
      } else {
        style.set |= static_cast<uint32_t>(Primary());
      }
      if (!IsPunct('|')) return style;
      Next();
    }
  }

  // A resource name or type: a number or a name that a #define gives a
  // number is an ordinal; any other word is a string, upper-cased.
  void NameOrId(const Token& t, std::optional<std::string>* text, uint16_t* id) {
    if (t.kind == Token::Number) {
      *id = static_cast<uint16_t>(t.number);
    } else if (t.kind == Token::Word) {
      if (auto value = Defined(t.text))
        *id = static_cast<uint16_t>(*value);
      else
        *text = Upper(t.text);
    } else if (t.kind == Token::String) {
      *text = Upper(t.text);
    } else {
      Fail(t, "expected a resource name");
    }
  }

  std::vector<uint8_t> FileBytes(const Token& t) {
    const fs::path found = pre_.Find(t.text, fs::path(t.where.substr(0, t.where.rfind(':'))).parent_path());
    if (found.empty()) Fail(t, "cannot find file");
    pre_.dependencies.push_back(fs::absolute(found).string());
    std::ifstream in(found, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  void Statement() {
    if (IsWord("LANGUAGE")) {
      Next();
      const auto primary = static_cast<WORD>(Expression());
      Expect(',');
      const auto sub = static_cast<WORD>(Expression());
      language_ = MAKELANGID(primary, sub);
      return;
    }
    if (IsWord("STRINGTABLE")) {
      Next();
      StringTable();
      return;
    }
    Resource r;
    r.language = language_;
    const Token name = Next();
    NameOrId(name, &r.name, &r.name_id);
    const Token type = Next();
    if (type.kind == Token::Word && type.text == "DIALOGEX") {
      r.type_id = 5;
      r.data = Dialog();
    } else if (type.kind == Token::Word && type.text == "VERSIONINFO") {
      r.type_id = 16;
      r.data = VersionInfo();
    } else if (type.kind == Token::Word && type.text == "BITMAP") {
      r.type_id = 2;
      const Token file = Next();
      if (file.kind != Token::String) Fail(file, "expected a file name");
      std::vector<uint8_t> bytes = FileBytes(file);
      // The module keeps the picture without its 14-byte file header.
      if (bytes.size() < 14 + 40 || bytes[0] != 'B' || bytes[1] != 'M') Fail(file, "not a BMP file");
      r.data.assign(bytes.begin() + 14, bytes.end());
    } else {
      NameOrId(type, &r.type_name, &r.type_id);
      const Token file = Next();
      if (file.kind != Token::String) Fail(file, "expected a file name");
      r.data = FileBytes(file);
    }
    resources_.push_back(r);
  }

  void StringTable() {
    while (!IsWord("BEGIN") && !IsPunct('{')) Next();  // memory flags
    Begin();
    while (!AtEnd()) {
      const auto id = static_cast<uint32_t>(Expression());
      Comma();
      const std::string text = StringToken();
      auto& block = string_blocks_[{language_, (id >> 4) + 1}];
      if (block.empty()) block.resize(16);
      block[id & 15] = text;
    }
    Next();
  }

  struct Control {
    uint32_t ex_style = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t id = 0;
    uint16_t class_ordinal = 0;
    std::string class_name;
    std::optional<std::string> text;
    uint16_t text_ordinal = 0;
  };

  static uint16_t ClassOrdinal(const std::string& name) {
    static const std::map<std::string, uint16_t> ordinals = {
        {"BUTTON", 0x80}, {"EDIT", 0x81}, {"STATIC", 0x82}, {"LISTBOX", 0x83}, {"SCROLLBAR", 0x84}, {"COMBOBOX", 0x85}};
    auto it = ordinals.find(Upper(name));
    return it == ordinals.end() ? 0 : it->second;
  }

  void Rectangle(Control* c) {
    c->x = static_cast<int16_t>(Expression());
    Expect(',');
    c->y = static_cast<int16_t>(Expression());
    Expect(',');
    c->cx = static_cast<int16_t>(Expression());
    Expect(',');
    c->cy = static_cast<int16_t>(Expression());
  }

  void ControlStyle(Control* c, uint32_t defaults) {
    Style style{defaults, 0};
    if (Comma()) {
      const Style given = StyleExpression();
      style.set |= given.set;
      style.clear |= given.clear;
      if (Comma()) c->ex_style = static_cast<uint32_t>(Expression());
    }
    c->style = (WS_CHILD | WS_VISIBLE | style.set) & ~style.clear;
  }

  Control ControlStatement() {
    const Token keyword = Next();
    if (keyword.kind != Token::Word) Fail(keyword, "expected a control");
    struct Kind {
      const char* word;
      uint16_t class_ordinal;
      uint32_t defaults;
      bool has_text;
    };
    static const Kind kinds[] = {
        {"PUSHBUTTON", 0x80, BS_PUSHBUTTON | WS_TABSTOP, true},
        {"DEFPUSHBUTTON", 0x80, BS_DEFPUSHBUTTON | WS_TABSTOP, true},
        {"GROUPBOX", 0x80, BS_GROUPBOX, true},
        {"LTEXT", 0x82, SS_LEFT | WS_GROUP, true},
        {"RTEXT", 0x82, SS_RIGHT | WS_GROUP, true},
        {"CTEXT", 0x82, 0x1 | WS_GROUP, true},
        {"COMBOBOX", 0x85, CBS_SIMPLE | WS_TABSTOP, false},
        {"EDITTEXT", 0x81, WS_BORDER | WS_TABSTOP, false},
    };
    Control c;
    if (keyword.text == "CONTROL") {
      const Token text = Next();
      if (text.kind == Token::String) {
        c.text = text.text;
      } else if (text.kind == Token::Number) {
        c.text_ordinal = static_cast<uint16_t>(text.number);
      } else if (auto value = Defined(text.text)) {
        c.text_ordinal = static_cast<uint16_t>(*value);
      } else {
        Fail(text, "expected a control text");
      }
      Expect(',');
      c.id = static_cast<uint32_t>(Expression());
      Expect(',');
      const std::string class_name = StringToken();
      c.class_ordinal = ClassOrdinal(class_name);
      if (c.class_ordinal == 0) c.class_name = class_name;
      Expect(',');
      const Style style = StyleExpression();
      Expect(',');
      Rectangle(&c);
      c.style = (WS_CHILD | WS_VISIBLE | style.set) & ~style.clear;
      if (Comma()) c.ex_style = static_cast<uint32_t>(Expression());
      return c;
    }
    for (const auto& kind : kinds) {
      if (keyword.text != kind.word) continue;
      if (kind.has_text) {
        c.text = StringToken();
        Expect(',');
      }
      c.id = static_cast<uint32_t>(Expression());
      Expect(',');
      Rectangle(&c);
      c.class_ordinal = kind.class_ordinal;
      ControlStyle(&c, kind.defaults);
      return c;
    }
    Fail(keyword, "unsupported control");
  }

  // DLGTEMPLATEEX followed by one DLGITEMTEMPLATEEX per control, each on a
  // 4-byte boundary.
  std::vector<uint8_t> Dialog() {
    int16_t rect[4];
    for (int i = 0; i < 4; ++i) {
      if (i) Expect(',');
      rect[i] = static_cast<int16_t>(Expression());
    }
    uint32_t help_id = 0;
    if (Comma()) help_id = static_cast<uint32_t>(Expression());
    uint32_t style = WS_POPUP | WS_BORDER | WS_SYSMENU;
    uint32_t ex_style = 0;
    std::optional<std::string> caption;
    bool has_font = false;
    uint16_t point_size = 0, weight = 0;
    uint8_t italic = 0, charset = 1;
    std::string face;
    for (;;) {
      if (IsWord("STYLE")) {
        Next();
        const Style given = StyleExpression();
        style = given.set & ~given.clear;
      } else if (IsWord("EXSTYLE")) {
        Next();
        ex_style = static_cast<uint32_t>(Expression());
      } else if (IsWord("CAPTION")) {
        Next();
        caption = StringToken();
      } else if (IsWord("FONT")) {
        Next();
        has_font = true;
        point_size = static_cast<uint16_t>(Expression());
        Expect(',');
        face = StringToken();
        if (Comma()) {
          weight = static_cast<uint16_t>(Expression());
          Expect(',');
          italic = static_cast<uint8_t>(Expression());
          Expect(',');
          charset = static_cast<uint8_t>(Expression());
        }
      } else {
        break;
      }
    }
    if (caption) style |= WS_CAPTION;
    if (has_font) style |= DS_SETFONT;
    Begin();
    std::vector<Control> controls;
    while (!AtEnd()) controls.push_back(ControlStatement());
    Next();

    Bytes b;
    b.Word(1);
    b.Word(0xFFFF);
    b.Dword(help_id);
    b.Dword(ex_style);
    b.Dword(style);
    b.Word(static_cast<uint32_t>(controls.size()));
    for (int16_t v : rect) b.Word(static_cast<uint16_t>(v));
    b.Word(0);  // no menu
    b.Word(0);  // the dialog class
    b.Text(caption.value_or(""));
    if (has_font) {
      b.Word(point_size);
      b.Word(weight);
      b.data.push_back(italic);
      b.data.push_back(charset);
      b.Text(face);
    }
    for (const auto& c : controls) {
      b.Align(4);
      b.Dword(0);
      b.Dword(c.ex_style);
      b.Dword(c.style);
      for (int16_t v : {c.x, c.y, c.cx, c.cy}) b.Word(static_cast<uint16_t>(v));
      b.Dword(c.id);
      if (c.class_ordinal) {
        b.Word(0xFFFF);
        b.Word(c.class_ordinal);
      } else {
        b.Text(c.class_name);
      }
      if (c.text) {
        b.Text(*c.text);
      } else if (c.text_ordinal) {
        b.Word(0xFFFF);
        b.Word(c.text_ordinal);
      } else {
        b.Word(0);
      }
      b.Word(0);  // no creation data
    }
    return b.data;
  }

  // VS_VERSIONINFO: nested blocks of {length, value length, type, key, value, children}.
  std::vector<uint8_t> VersionInfo() {
    uint32_t fixed[13] = {0xFEEF04BDu, 0x00010000u};
    auto version = [&](uint32_t* ms) {
      uint32_t part[4] = {};
      for (int i = 0; i < 4; ++i) {
        if (i) Expect(',');
        part[i] = static_cast<uint32_t>(Expression());
      }
      ms[0] = (part[0] << 16) | (part[1] & 0xFFFF);
      ms[1] = (part[2] << 16) | (part[3] & 0xFFFF);
    };
    for (;;) {
      const std::string word = Peek().kind == Token::Word ? Peek().text : "";
      if (word == "FILEVERSION") {
        Next();
        version(&fixed[2]);
      } else if (word == "PRODUCTVERSION") {
        Next();
        version(&fixed[4]);
      } else if (word == "FILEFLAGSMASK") {
        Next();
        fixed[6] = static_cast<uint32_t>(Expression());
      } else if (word == "FILEFLAGS") {
        Next();
        fixed[7] = static_cast<uint32_t>(Expression());
      } else if (word == "FILEOS") {
        Next();
        fixed[8] = static_cast<uint32_t>(Expression());
      } else if (word == "FILETYPE") {
        Next();
        fixed[9] = static_cast<uint32_t>(Expression());
      } else if (word == "FILESUBTYPE") {
        Next();
        fixed[10] = static_cast<uint32_t>(Expression());
      } else {
        break;
      }
    }
    Bytes b;
    const size_t root = OpenBlock(&b, "VS_VERSION_INFO", 52, 0);
    for (uint32_t v : fixed) b.Dword(v);
    Begin();
    while (!AtEnd()) VersionBlock(&b);
    Next();
    CloseBlock(&b, root);
    return b.data;
  }

  static size_t OpenBlock(Bytes* b, const std::string& key, uint32_t value_length, uint32_t type) {
    b->Align(4);
    const size_t start = b->data.size();
    b->Word(0);
    b->Word(value_length);
    b->Word(type);
    b->Text(key);
    b->Align(4);
    return start;
  }
  static void CloseBlock(Bytes* b, size_t start) { b->SetWord(start, static_cast<uint32_t>(b->data.size() - start)); }

  void VersionBlock(Bytes* b) {
    if (IsWord("BLOCK")) {
      Next();
      const size_t start = OpenBlock(b, StringToken(), 0, 1);
      Begin();
      while (!AtEnd()) VersionBlock(b);
      Next();
      CloseBlock(b, start);
      return;
    }
    if (!IsWord("VALUE")) Fail(Peek(), "expected BLOCK or VALUE");
    Next();
    const std::string key = StringToken();
    Expect(',');
    if (Peek().kind == Token::String) {
      // Text values count their characters with the terminator.
      const std::string text = StringToken();
      const size_t start = OpenBlock(b, key, static_cast<uint32_t>(text.size() + 1), 1);
      b->Text(text);
      CloseBlock(b, start);
      return;
    }
    // Numbers are 16-bit words; binary values count bytes.
    std::vector<uint16_t> words;
    do words.push_back(static_cast<uint16_t>(Expression()));
    while (Comma());
    const size_t start = OpenBlock(b, key, static_cast<uint32_t>(words.size() * 2), 0);
    for (uint16_t w : words) b->Word(w);
    CloseBlock(b, start);
  }

  std::vector<Token> tokens_;
  size_t at_ = 0;
  Preprocessor& pre_;
  uint16_t language_ = 0;
  std::vector<Resource> resources_;
  std::map<std::pair<uint16_t, uint32_t>, std::vector<std::string>> string_blocks_;
};

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

void Write(const std::vector<Resource>& resources, const std::string& input, std::ostream& out) {
  out << "// Generated by ora_rc from " << fs::path(input).filename().string() << "; do not edit.\n"
      << "#include \"sim/win32/resource_table.h\"\n\nnamespace {\n";
  for (size_t i = 0; i < resources.size(); ++i) {
    out << "alignas(4) const unsigned char kData" << i << "[] = {";
    const auto& data = resources[i].data;
    for (size_t j = 0; j < data.size(); ++j) out << (j % 16 ? " " : "\n    ") << static_cast<unsigned>(data[j]) << ",";
    if (data.empty()) out << "0";
    out << "\n};\n";
  }
  out << "const OraResourceEntry kEntries[] = {\n";
  for (size_t i = 0; i < resources.size(); ++i) {
    const auto& r = resources[i];
    out << "    {" << (r.type_name ? Quoted(*r.type_name) : "nullptr") << ", " << r.type_id << ", "
        << (r.name ? Quoted(*r.name) : "nullptr") << ", " << r.name_id << ", " << r.language << ", kData" << i << ", "
        << r.data.size() << "},\n";
  }
  if (resources.empty()) out << "    {nullptr, 0, nullptr, 0, 0, nullptr, 0},\n";
  out << "};\n}  // namespace\n\n"
      << "extern \"C\" __attribute__((visibility(\"default\"))) const OraResourceTable ora_resource_table = {"
      << resources.size() << ", kEntries};\n";
}

}  // namespace

int main(int argc, char** argv) {
  Preprocessor pre;
  std::vector<std::string> files;
  std::string depfile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-I" && i + 1 < argc) {
      pre.include_dirs.emplace_back(argv[++i]);
    } else if (arg == "-D" && i + 1 < argc) {
      const std::string def = argv[++i];
      const auto eq = def.find('=');
      pre.defines[def.substr(0, eq)] = eq == std::string::npos ? "1" : def.substr(eq + 1);
    } else if (arg == "--depfile" && i + 1 < argc) {
      depfile = argv[++i];
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) {
    std::fprintf(stderr, "usage: ora_rc [-I dir]... [-D name[=value]]... [--depfile file] input.rc output.cpp\n");
    return 2;
  }
  try {
    pre.Read(files[0]);
    Compiler compiler(Tokenize(pre.lines), pre);
    const std::vector<Resource> resources = compiler.Run();
    std::ostringstream text;
    Write(resources, files[0], text);
    std::ofstream out(files[1], std::ios::binary);
    out << text.str();
    if (!out) throw Failure("cannot write " + files[1]);
    if (!depfile.empty()) {
      std::ofstream dep(depfile);
      dep << files[1] << ":";
      for (const auto& d : pre.dependencies) dep << " \\\n  " << d;
      dep << "\n";
    }
  } catch (const Failure& failure) {
    std::fprintf(stderr, "ora_rc: %s\n", failure.what());
    return 1;
  }
  return 0;
}
