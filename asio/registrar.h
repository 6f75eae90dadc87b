// The COM server's registrar: applies registry scripts (the registrar script
// language of COM servers) to the registry, and registers the server's type
// library. Serves both ASIO drivers; they differ only in their scripts and
// identities.
//
// Script language:
//   script  := root*
//   root    := HKCR | HKCU | HKLM | HKU (or the HKEY_... names) '{' key* '}'
//   key     := [NoRemove | ForceRemove | Delete] name ['=' value] ['{' item* '}']
//   item    := 'val' name '=' value | key
//   value   := s 'text' | e 'text' | d number | d 'number' | b 'hex digits'
// Tokens are separated by white space; 'quoted' names and texts double a
// quote inside them (''). %NAME% is replaced by its replacement, %% by %.
//
// Registering creates every key and writes every value; a ForceRemove key is
// first deleted with its subtree, a Delete key is only deleted. Unregistering
// deletes every key of the script with its subtree, except NoRemove keys,
// which are kept while their subkeys and named values are unregistered.
// Scripts are parsed whole before anything is written: a bad script writes
// nothing and gives DISP_E_EXCEPTION.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/base.h"
#include "platform/com.h"
#include "platform/win32/loader.h"
#include "platform/win32/registry.h"
#include "platform/win32/resource.h"

class CRegistrar {
 public:
  // A name is given without its percent signs ("MODULE"); adding a name again
  // replaces its value. E_INVALIDARG for a null or empty name or a null value.
  HRESULT AddReplacement(LPCSTR name, LPCSTR value);
  void ClearReplacements();

  HRESULT StringRegister(LPCSTR script);
  HRESULT StringUnregister(LPCSTR script);
  // The script in a module's resource of type "REGISTRY".
  HRESULT ResourceRegister(HMODULE module, UINT resourceId);
  HRESULT ResourceUnregister(HMODULE module, UINT resourceId);

  // Where the last parse failed ("line 3: expected '{'"); empty after success.
  const std::string& LastError() const { return m_lastError; }

 private:
  HRESULT Apply(const char* script, size_t length, bool doRegister);
  HRESULT ResourceScript(HMODULE module, UINT resourceId, const char** script, size_t* length);

  std::vector<std::pair<std::string, std::string>> m_replacements;
  std::string m_lastError;
};

// What the registry learns about a type library: the facts of its .idl.
struct RegistrarTypeLib {
  GUID libid;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  LCID lcid;
  LPCSTR helpString;  // the library's help string, or its name when it has none
  UINT resourceId;    // the module's "TYPELIB" resource holding it
};

// Writes what type-library registration writes for a library of
// non-automation interfaces: HKCR\TypeLib\{libid}\<major.minor> with the help
// string, \<lcid>\win64 with the path the library loads from, \FLAGS "0" and
// \HELPDIR the module's folder. Interfaces that are not oleautomation get no
// HKCR\Interface entry. Registering again rewrites the same keys.
HRESULT RegistrarRegisterTypeLib(const RegistrarTypeLib& typeLib, LPCSTR modulePath);
// Removes the version's key with its subtree, and the library's key when no
// other version is left. TYPE_E_REGISTRYACCESS when the version is not
// registered.
HRESULT RegistrarUnregisterTypeLib(const RegistrarTypeLib& typeLib);

// The full path of a module, for the %MODULE% replacement.
HRESULT RegistrarModulePath(HMODULE module, std::string* path);
