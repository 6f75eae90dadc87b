// The simulated PC's file system: Windows paths over host directories.
//
// Each drive letter maps to a host directory (MapDrive('C', "/tmp/pc/c")).
// Paths compare without regard to case, and '\' and '/' both separate
// components; a host file is found by matching each component of the
// Windows path against the host directory's entries, ignoring case.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

class FileSystem {
 public:
  static constexpr const char* kDefaultSystemDirectory = "C:\\Windows\\System32";

  static FileSystem& Get();

  void MapDrive(char letter, std::string host_directory);
  void UnmapDrive(char letter);
  // The directory bare module names are looked up in.
  void SetSystemDirectory(std::string windows_path);
  std::string SystemDirectory() const;
  // No drives, the default system directory.
  void Reset();

  // "c:/a/./b\..\X.dll" -> "C:\a\X.dll". Null when the path is not absolute
  // (a drive letter, a colon and a separator) or climbs above the root.
  static std::optional<std::string> Normalize(std::string_view path);
  // The host file or directory of a Windows path; null when the drive is not
  // mapped or a component does not exist.
  std::optional<std::string> HostPath(std::string_view windows_path) const;

  static bool EqualsIgnoreCase(std::string_view a, std::string_view b);
  // The last component of a path ("C:\x\OraAsio.dll" -> "OraAsio.dll").
  static std::string_view FileName(std::string_view path);

 private:
  mutable std::mutex mutex_;
  std::map<char, std::string> drives_;
  std::string system_directory_ = kDefaultSystemDirectory;
};

inline void MapDrive(char letter, std::string host_directory) {
  FileSystem::Get().MapDrive(letter, std::move(host_directory));
}

}  // namespace sim
