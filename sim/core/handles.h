// The process's typed handle table.
//
// User-mode HANDLEs and HKEYs of the simulated PC name objects in this table.
// A handle is a small multiple of 4, as on Windows, never null and never the
// all-ones value. Lookup checks the type, so a thread handle passed where a
// key is expected is an invalid handle, not a crash. The two low bits of a
// handle value are tag bits that lookup ignores, as on Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

enum class ObjectType { Event, Thread, File, Key, Module, DeviceInfoSet, Other };

const char* ObjectTypeName(ObjectType type);

class Object {
 public:
  virtual ~Object() = default;
  virtual ObjectType Type() const = 0;
  virtual std::string Describe() const = 0;
  // Called when the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}
};

class HandleTable {
 public:
  static HandleTable& Get();

  // Returns the new handle value.
  void* Insert(std::shared_ptr<Object> object);
  // Null when the handle is not open or names another type.
  std::shared_ptr<Object> Lookup(void* handle, ObjectType type) const;
  template <typename T>
  std::shared_ptr<T> LookupAs(void* handle) const {
    return std::static_pointer_cast<T>(Lookup(handle, T::kType));
  }
  // False when the handle is not open.
  bool Close(void* handle);
  // Takes the object out without running OnLastHandleClosed.
  std::shared_ptr<Object> Remove(void* handle);

  // Descriptions of every open handle (leak reports).
  std::vector<std::string> OpenHandles() const;
  std::size_t Count() const;
  // Forgets every handle (a new machine).
  void Reset();

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects_;
  std::uintptr_t next_ = 0x100;
};

}  // namespace sim
