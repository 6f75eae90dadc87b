// The registrar: registry scripts parsed into a tree, then applied over the
// Win32 registry functions; type-library registration from the library's facts.
#include "asio/registrar.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

struct ScriptValue {
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};

struct ScriptNamedValue {
  std::string name;
  ScriptValue value;
};

struct ScriptKey {
  std::string name;
  KeyFlag flag = KeyFlag::None;
  bool hasDefault = false;
  ScriptValue defaultValue;
  std::vector<ScriptNamedValue> values;
  std::vector<ScriptKey> children;
};

struct ScriptRoot {
  HKEY key;
  std::vector<ScriptKey> children;
};

struct ScriptToken {
  std::string text;
  bool quoted;
  int line;
};

class CScriptParser {
 public:
  CScriptParser(const char* script, size_t length, const std::vector<std::pair<std::string, std::string>>& replacements)
      : m_script(script), m_length(length), m_replacements(replacements) {}

  bool Parse(std::vector<ScriptRoot>* roots) {
    if (!Tokenize()) return false;
    while (m_at < m_tokens.size()) {
      ScriptRoot root{};
      if (!RootKey(&root.key)) return false;
      if (!Punct("{")) return false;
      while (!IsPunct("}")) {
        if (m_at >= m_tokens.size()) return Fail("missing '}'");
        ScriptKey key;
        if (!Key(&key)) return false;
        root.children.push_back(std::move(key));
      }
      ++m_at;
      roots->push_back(std::move(root));
    }
    return true;
  }

  const std::string& Error() const { return m_error; }

 private:
  bool Fail(const std::string& what) {
    const int line = m_at < m_tokens.size() ? m_tokens[m_at].line : m_lastLine;
    m_error = "line " + std::to_string(line) + ": " + what;
    return false;
  }

  // %NAME% becomes its replacement, %% a percent sign.
  bool Replace(const std::string& text, int line, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '%') {
        out->push_back(text[i]);
        continue;
      }
      const size_t end = text.find('%', i + 1);
      if (end == std::string::npos) {
        m_error = "line " + std::to_string(line) + ": unterminated %";
        return false;
      }
      const std::string name = text.substr(i + 1, end - i - 1);
      if (name.empty()) {
        out->push_back('%');
      } else {
        bool found = false;
        for (const auto& [key, value] : m_replacements) {
          if (key == name) {
            out->append(value);
            found = true;
            break;
          }
        }
        if (!found) {
          m_error = "line " + std::to_string(line) + ": no replacement for %" + name + "%";
          return false;
        }
      }
      i = end;
    }
    return true;
  }

  bool Tokenize() {
    int line = 1;
    size_t i = 0;
    while (i < m_length) {
      const char c = m_script[i];
      if (c == '\n') {
        ++line;
        ++i;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '\r') {
        ++i;
        continue;
      }
      // A script from a file may start with a UTF-8 byte-order mark.
      if (i == 0 && m_length >= 3 && std::memcmp(m_script, "\xEF\xBB\xBF", 3) == 0) {
        i = 3;
        continue;
      }
      if (c == 0) {
        m_lastLine = line;
        m_error = "line " + std::to_string(line) + ": unexpected zero byte";
        return false;
      }
      std::string raw;
      const bool quoted = c == '\'';
      const int start = line;
      if (quoted) {
        ++i;
        for (;;) {
          if (i >= m_length) {
            m_lastLine = line;
            m_error = "line " + std::to_string(start) + ": unterminated quoted text";
            return false;
          }
          if (m_script[i] == '\'') {
            if (i + 1 < m_length && m_script[i + 1] == '\'') {
              raw.push_back('\'');
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          if (m_script[i] == '\n') ++line;
          raw.push_back(m_script[i++]);
        }
      } else {
        while (i < m_length && m_script[i] != ' ' && m_script[i] != '\t' && m_script[i] != '\r' &&
               m_script[i] != '\n' && m_script[i] != '\'' && m_script[i] != 0)
          raw.push_back(m_script[i++]);
      }
      ScriptToken token{{}, quoted, start};
      if (!Replace(raw, start, &token.text)) return false;
      m_tokens.push_back(std::move(token));
    }
    m_lastLine = line;
    return true;
  }

  bool IsPunct(const char* text) const {
    return m_at < m_tokens.size() && !m_tokens[m_at].quoted && m_tokens[m_at].text == text;
  }
  bool IsWord(const char* word) const {
    if (m_at >= m_tokens.size() || m_tokens[m_at].quoted) return false;
    const std::string& t = m_tokens[m_at].text;
    if (t.size() != std::strlen(word)) return false;
    for (size_t i = 0; i < t.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(t[i])) != std::tolower(static_cast<unsigned char>(word[i])))
        return false;
    return true;
  }
  bool Punct(const char* text) {
    if (!IsPunct(text)) return Fail(std::string("expected '") + text + "'");
    ++m_at;
    return true;
  }

  bool RootKey(HKEY* key) {
    struct Root {
      const char* shortName;
      const char* longName;
      HKEY key;
    };
    const Root roots[] = {
        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKU", "HKEY_USERS", HKEY_USERS},
    };
    for (const auto& root : roots) {
      if (IsWord(root.shortName) || IsWord(root.longName)) {
        *key = root.key;
        ++m_at;
        return true;
      }
    }
    return Fail("expected a root key");
  }

  // A key or value name: one token that is not punctuation. Names are single
  // registry names; a backslash would reach another key.
  bool Name(std::string* name) {
    if (m_at >= m_tokens.size()) return Fail("expected a name");
    const ScriptToken& token = m_tokens[m_at];
    if (!token.quoted && (token.text == "{" || token.text == "}" || token.text == "=")) return Fail("expected a name");
    if (token.text.empty()) return Fail("empty name");
    if (token.text.find('\\') != std::string::npos) return Fail("a name may not hold '\\'");
    *name = token.text;
    ++m_at;
    return true;
  }

  bool Value(ScriptValue* value) {
    if (m_at + 1 >= m_tokens.size() || m_tokens[m_at].quoted) return Fail("expected a value");
    const std::string kind = m_tokens[m_at].text;
    const ScriptToken& data = m_tokens[m_at + 1];
    if (kind == "s" || kind == "e") {
      if (!data.quoted) return Fail("expected quoted text");
      value->type = kind == "s" ? REG_SZ : REG_EXPAND_SZ;
      value->data.assign(data.text.begin(), data.text.end());
      value->data.push_back(0);
    } else if (kind == "d") {
      char* end = nullptr;
      const unsigned long long number = std::strtoull(data.text.c_str(), &end, 0);
      if (data.text.empty() || *end != 0 || data.text[0] == '-' || number > 0xFFFFFFFFull)
        return Fail("expected a 32-bit number");
      const auto dword = static_cast<DWORD>(number);
      value->type = REG_DWORD;
      value->data.resize(4);
      std::memcpy(value->data.data(), &dword, 4);
    } else if (kind == "b") {
      if (!data.quoted || data.text.size() % 2) return Fail("expected hex digits in pairs");
      value->type = REG_BINARY;
      value->data.clear();
      for (size_t i = 0; i < data.text.size(); i += 2) {
        const std::string pair = data.text.substr(i, 2);
        char* end = nullptr;
        const unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
        if (*end != 0 || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return Fail("bad hex digits");
        value->data.push_back(static_cast<BYTE>(byte));
      }
    } else {
      return Fail("unknown value type '" + kind + "'");
    }
    m_at += 2;
    return true;
  }

  bool Key(ScriptKey* key) {
    if (IsWord("NoRemove")) {
      key->flag = KeyFlag::NoRemove;
      ++m_at;
    } else if (IsWord("ForceRemove")) {
      key->flag = KeyFlag::ForceRemove;
      ++m_at;
    } else if (IsWord("Delete")) {
      key->flag = KeyFlag::Delete;
      ++m_at;
    }
    if (!Name(&key->name)) return false;
    if (IsPunct("=")) {
      ++m_at;
      key->hasDefault = true;
      if (!Value(&key->defaultValue)) return false;
    }
    if (!IsPunct("{")) return true;
    ++m_at;
    while (!IsPunct("}")) {
      if (m_at >= m_tokens.size()) return Fail("missing '}'");
      if (IsWord("val")) {
        ++m_at;
        ScriptNamedValue named;
        if (!Name(&named.name) || !Punct("=") || !Value(&named.value)) return false;
        key->values.push_back(std::move(named));
        continue;
      }
      ScriptKey child;
      if (!Key(&child)) return false;
      key->children.push_back(std::move(child));
    }
    ++m_at;
    return true;
  }

  const char* m_script;
  size_t m_length;
  const std::vector<std::pair<std::string, std::string>>& m_replacements;
  std::vector<ScriptToken> m_tokens;
  size_t m_at = 0;
  int m_lastLine = 1;
  std::string m_error;
};

HRESULT FromWin32(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

// RegDeleteKeyA refuses a key with subkeys, so the subtree goes depth-first.
LONG DeleteTree(HKEY parent, const char* name) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE | DELETE, &key);
  if (status != ERROR_SUCCESS) return status;
  char child[256];
  for (;;) {
    DWORD size = sizeof(child);
    status = RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (status == ERROR_SUCCESS) status = DeleteTree(key, child);
    if (status != ERROR_SUCCESS) {
      RegCloseKey(key);
      return status;
    }
  }
  RegCloseKey(key);
  return RegDeleteKeyA(parent, name);
}

LONG SetValue(HKEY key, const char* name, const ScriptValue& value) {
  return RegSetValueExA(key, name, 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
}

HRESULT RegisterKey(HKEY parent, const ScriptKey& node) {
  if (node.flag == KeyFlag::ForceRemove || node.flag == KeyFlag::Delete) {
    const LONG status = DeleteTree(parent, node.name.c_str());
    if (status != ERROR_SUCCESS && status != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return FromWin32(status);
    if (node.flag == KeyFlag::Delete) return S_OK;
  }
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return FromWin32(status);
  HRESULT hr = S_OK;
  if (node.hasDefault) {
    status = SetValue(key, nullptr, node.defaultValue);
    if (status != ERROR_SUCCESS) hr = FromWin32(status);
  }
  for (size_t i = 0; SUCCEEDED(hr) && i < node.values.size(); ++i) {
    status = SetValue(key, node.values[i].name.c_str(), node.values[i].value);
    if (status != ERROR_SUCCESS) hr = FromWin32(status);
  }
  for (size_t i = 0; SUCCEEDED(hr) && i < node.children.size(); ++i) hr = RegisterKey(key, node.children[i]);
  RegCloseKey(key);
  return hr;
}

// Keys already gone are not an error: unregistering twice is harmless.
HRESULT UnregisterKey(HKEY parent, const ScriptKey& node) {
  if (node.flag == KeyFlag::Delete) return S_OK;
  if (node.flag != KeyFlag::NoRemove) {
    const LONG status = DeleteTree(parent, node.name.c_str());
    if (status != ERROR_SUCCESS && status != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return FromWin32(status);
    return S_OK;
  }
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExA(parent, node.name.c_str(), 0, KEY_READ | KEY_WRITE | DELETE, &key);
  if (status == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return S_OK;
  if (status != ERROR_SUCCESS) return FromWin32(status);
  HRESULT hr = S_OK;
  for (const auto& value : node.values) {
    const LONG deleted = RegDeleteValueA(key, value.name.c_str());
    if (deleted != ERROR_SUCCESS && deleted != static_cast<LONG>(ERROR_FILE_NOT_FOUND) && SUCCEEDED(hr))
      hr = FromWin32(deleted);
  }
  for (const auto& child : node.children) {
    const HRESULT childResult = UnregisterKey(key, child);
    if (FAILED(childResult) && SUCCEEDED(hr)) hr = childResult;
  }
  RegCloseKey(key);
  return hr;
}

std::string GuidText(REFGUID guid) {
  char text[ORA_GUID_STRING_CHARS];
  OraStringFromGuidA(guid, text, ORA_GUID_STRING_CHARS);
  return text;
}

// "TypeLib\{libid}" and the version's name, which type-library registration
// writes in hexadecimal ("1.0", "1.a").
std::string TypeLibKey(const RegistrarTypeLib& typeLib) { return "TypeLib\\" + GuidText(typeLib.libid); }
std::string VersionName(const RegistrarTypeLib& typeLib) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x.%x", typeLib.wMajorVerNum, typeLib.wMinorVerNum);
  return text;
}

LONG WriteDefault(HKEY parent, const std::string& path, const std::string& text) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  return status;
}

}  // namespace

HRESULT CRegistrar::AddReplacement(LPCSTR name, LPCSTR value) {
  if (name == nullptr || name[0] == 0 || value == nullptr) return E_INVALIDARG;
  for (auto& [key, text] : m_replacements) {
    if (key == name) {
      text = value;
      return S_OK;
    }
  }
  m_replacements.emplace_back(name, value);
  return S_OK;
}

void CRegistrar::ClearReplacements() { m_replacements.clear(); }

HRESULT CRegistrar::StringRegister(LPCSTR script) {
  if (script == nullptr) return E_INVALIDARG;
  return Apply(script, std::strlen(script), true);
}

HRESULT CRegistrar::StringUnregister(LPCSTR script) {
  if (script == nullptr) return E_INVALIDARG;
  return Apply(script, std::strlen(script), false);
}

HRESULT CRegistrar::ResourceRegister(HMODULE module, UINT resourceId) {
  const char* script = nullptr;
  size_t length = 0;
  const HRESULT hr = ResourceScript(module, resourceId, &script, &length);
  return FAILED(hr) ? hr : Apply(script, length, true);
}

HRESULT CRegistrar::ResourceUnregister(HMODULE module, UINT resourceId) {
  const char* script = nullptr;
  size_t length = 0;
  const HRESULT hr = ResourceScript(module, resourceId, &script, &length);
  return FAILED(hr) ? hr : Apply(script, length, false);
}

HRESULT CRegistrar::ResourceScript(HMODULE module, UINT resourceId, const char** script, size_t* length) {
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(resourceId), "REGISTRY");
  if (resource == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  *script = static_cast<const char*>(LockResource(loaded));
  *length = SizeofResource(module, resource);
  // A resource compiler may keep a terminating zero with the text.
  while (*length > 0 && (*script)[*length - 1] == 0) --*length;
  return *script == nullptr ? E_FAIL : S_OK;
}

HRESULT CRegistrar::Apply(const char* script, size_t length, bool doRegister) {
  m_lastError.clear();
  CScriptParser parser(script, length, m_replacements);
  std::vector<ScriptRoot> roots;
  if (!parser.Parse(&roots)) {
    m_lastError = parser.Error();
    return DISP_E_EXCEPTION;
  }
  HRESULT result = S_OK;
  for (const auto& root : roots) {
    for (const auto& key : root.children) {
      // Registration stops at the first failure; removal goes on and reports
      // the first failure at the end.
      const HRESULT hr = doRegister ? RegisterKey(root.key, key) : UnregisterKey(root.key, key);
      if (FAILED(hr)) {
        if (doRegister) return hr;
        if (SUCCEEDED(result)) result = hr;
      }
    }
  }
  return result;
}

HRESULT RegistrarRegisterTypeLib(const RegistrarTypeLib& typeLib, LPCSTR modulePath) {
  if (modulePath == nullptr || modulePath[0] == 0 || typeLib.helpString == nullptr) return E_INVALIDARG;
  const std::string module = modulePath;
  // The library loads from the module itself when it is resource 1, from
  // "<module>\<id>" otherwise.
  const std::string libraryPath = typeLib.resourceId == 1 ? module : module + "\\" + std::to_string(typeLib.resourceId);
  const size_t slash = module.find_last_of('\\');
  const std::string helpDir = slash == std::string::npos ? std::string() : module.substr(0, slash);
  char lcid[16];
  std::snprintf(lcid, sizeof(lcid), "%x", typeLib.lcid);
  const std::string version = TypeLibKey(typeLib) + "\\" + VersionName(typeLib);
  const std::pair<std::string, std::string> keys[] = {
      {version, typeLib.helpString},
      {version + "\\" + lcid + "\\win64", libraryPath},
      {version + "\\FLAGS", "0"},
      {version + "\\HELPDIR", helpDir},
  };
  for (const auto& [path, text] : keys)
    if (const LONG status = WriteDefault(HKEY_CLASSES_ROOT, path, text); status != ERROR_SUCCESS)
      return TYPE_E_REGISTRYACCESS;
  return S_OK;
}

HRESULT RegistrarUnregisterTypeLib(const RegistrarTypeLib& typeLib) {
  const std::string library = TypeLibKey(typeLib);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, library.c_str(), 0, KEY_READ | KEY_WRITE | DELETE, &key) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  const LONG status = DeleteTree(key, VersionName(typeLib).c_str());
  DWORD subkeys = 0;
  const LONG info = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  if (info == ERROR_SUCCESS && subkeys == 0) DeleteTree(HKEY_CLASSES_ROOT, library.c_str());
  return S_OK;
}

HRESULT RegistrarModulePath(HMODULE module, std::string* path) {
  if (path == nullptr) return E_POINTER;
  char buffer[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(module, buffer, MAX_PATH + 1);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (length > MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  *path = std::string(buffer, length);
  return S_OK;
}
