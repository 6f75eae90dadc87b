#include "sim/core/handles.h"

namespace sim {

namespace {
// Windows ignores the two low bits of a handle value: callers may tag them
// (an event handle with bit 0 set keeps a completion off the I/O completion port).
std::uintptr_t KeyOf(void* handle) { return reinterpret_cast<std::uintptr_t>(handle) & ~std::uintptr_t{3}; }
}  // namespace

const char* ObjectTypeName(ObjectType type) {
  switch (type) {
    case ObjectType::Event:
      return "event";
    case ObjectType::Thread:
      return "thread";
    case ObjectType::File:
      return "file";
    case ObjectType::Key:
      return "key";
    case ObjectType::Module:
      return "module";
    case ObjectType::DeviceInfoSet:
      return "device information set";
    case ObjectType::Other:
      return "object";
  }
  return "object";
}

HandleTable& HandleTable::Get() {
  static HandleTable table;
  return table;
}

void* HandleTable::Insert(std::shared_ptr<Object> object) {
  std::lock_guard lock(mutex_);
  const std::uintptr_t value = next_;
  next_ += 4;
  objects_.emplace(value, std::move(object));
  return reinterpret_cast<void*>(value);
}

std::shared_ptr<Object> HandleTable::Lookup(void* handle, ObjectType type) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(KeyOf(handle));
  if (it == objects_.end() || it->second->Type() != type) return nullptr;
  return it->second;
}

std::shared_ptr<Object> HandleTable::Remove(void* handle) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(KeyOf(handle));
  if (it == objects_.end()) return nullptr;
  auto object = std::move(it->second);
  objects_.erase(it);
  return object;
}

bool HandleTable::Close(void* handle) {
  auto object = Remove(handle);
  if (!object) return false;
  // Another handle may still name the same object (a duplicate).
  if (object.use_count() == 1) object->OnLastHandleClosed();
  return true;
}

std::vector<std::string> HandleTable::OpenHandles() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [value, object] : objects_)
    out.push_back(std::string(ObjectTypeName(object->Type())) + " handle " + std::to_string(value) + ": " +
                  object->Describe());
  return out;
}

std::size_t HandleTable::Count() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

void HandleTable::Reset() {
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> old;
  {
    std::lock_guard lock(mutex_);
    old.swap(objects_);
    next_ = 0x100;
  }
}

}  // namespace sim
