#include "sim/win32/paths.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

namespace sim {

namespace {
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
}  // namespace

FileSystem& FileSystem::Get() {
  static FileSystem fs;
  return fs;
}

void FileSystem::MapDrive(char letter, std::string host_directory) {
  std::lock_guard lock(mutex_);
  drives_[Upper(letter)] = std::move(host_directory);
}

void FileSystem::UnmapDrive(char letter) {
  std::lock_guard lock(mutex_);
  drives_.erase(Upper(letter));
}

void FileSystem::SetSystemDirectory(std::string windows_path) {
  std::lock_guard lock(mutex_);
  system_directory_ = std::move(windows_path);
}

std::string FileSystem::SystemDirectory() const {
  std::lock_guard lock(mutex_);
  return system_directory_;
}

void FileSystem::Reset() {
  std::lock_guard lock(mutex_);
  drives_.clear();
  system_directory_ = kDefaultSystemDirectory;
}

bool FileSystem::EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string_view FileSystem::FileName(std::string_view path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> FileSystem::Normalize(std::string_view path) {
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' || !IsSeparator(path[2]))
    return std::nullopt;
  std::vector<std::string_view> parts;
  std::size_t i = 3;
  while (i <= path.size()) {
    std::size_t end = i;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view part = path.substr(i, end - i);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = end + 1;
  }
  std::string out{Upper(path[0]), ':'};
  for (const auto& part : parts) (out += '\\') += part;
  if (parts.empty()) out += '\\';
  return out;
}

std::optional<std::string> FileSystem::HostPath(std::string_view windows_path) const {
  const auto normalized = Normalize(windows_path);
  if (!normalized) return std::nullopt;
  std::filesystem::path host;
  {
    std::lock_guard lock(mutex_);
    auto drive = drives_.find((*normalized)[0]);
    if (drive == drives_.end()) return std::nullopt;
    host = drive->second;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(host, ec)) return std::nullopt;
  std::string_view rest = std::string_view(*normalized).substr(3);
  while (!rest.empty()) {
    const auto slash = rest.find('\\');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (std::filesystem::exists(host / part, ec)) {
      host /= part;
      continue;
    }
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator(host, ec)) {
      if (EqualsIgnoreCase(entry.path().filename().string(), part)) {
        host = entry.path();
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  return host.string();
}

}  // namespace sim
