#include "sim/registry/views.h"

#include <array>

#include "sim/registry/names.h"
#include "sim/registry/store.h"

namespace sim::registry {

namespace {

constexpr std::u16string_view kWow = u"Wow6432Node";
constexpr std::array<std::u16string_view, 5> kRedirectedClasses = {u"CLSID", u"DirectShow", u"Interface", u"Media Type",
                                                                   u"MediaFoundation"};

// The element of `path` that starts at `pos` (up to the next backslash).
std::u16string_view ElementAt(std::u16string_view path, std::size_t pos) {
  if (pos >= path.size()) return {};
  const auto end = path.find(u'\\', pos);
  return path.substr(pos, end == std::u16string_view::npos ? std::u16string_view::npos : end - pos);
}

// Inserts Wow6432Node before a redirected class subkey of the Classes key
// at `classes` (the path of ...\Classes); false when the path is shared.
bool RedirectClasses(std::u16string_view path, std::size_t classes_len, std::u16string* out) {
  if (path.size() <= classes_len) return false;
  const auto element = ElementAt(path, classes_len + 1);
  for (auto name : kRedirectedClasses) {
    if (NamesEqual(element, name)) {
      *out = std::u16string(path.substr(0, classes_len)) + u"\\" + std::u16string(kWow) +
             std::u16string(path.substr(classes_len));
      return true;
    }
  }
  return false;
}

}  // namespace

std::u16string RedirectPath(std::u16string_view path, View view) {
  std::u16string out(path);
  if (view == View::Native64) return out;

  const std::u16string machine_software = std::u16string(kMachineRoot) + u"\\SOFTWARE";
  const std::u16string user_classes = CurrentUserPath() + u"\\Software\\Classes";
  if (PathStartsWith(path, machine_software)) {
    const std::size_t len = machine_software.size();
    const auto element = ElementAt(path, len + 1);
    if (NamesEqual(element, kWow)) return out;
    if (NamesEqual(element, u"Classes")) {
      const std::size_t classes_len = len + 1 + element.size();
      if (NamesEqual(ElementAt(path, classes_len + 1), kWow)) return out;
      RedirectClasses(path, classes_len, &out);
      return out;
    }
    return machine_software + u"\\" + std::u16string(kWow) + std::u16string(path.substr(len));
  }
  if (PathStartsWith(path, user_classes)) {
    if (NamesEqual(ElementAt(path, user_classes.size() + 1), kWow)) return out;
    RedirectClasses(path, user_classes.size(), &out);
  }
  return out;
}

}  // namespace sim::registry
