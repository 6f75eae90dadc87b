#include "sim/registry/store.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "sim/registry/names.h"
#include "sim/registry/node.h"

namespace sim::registry {

using detail::Node;

const char* StatusName(Status status) {
  switch (status) {
    case Status::Success:
      return "Success";
    case Status::NotFound:
      return "NotFound";
    case Status::AccessDenied:
      return "AccessDenied";
    case Status::KeyHasChildren:
      return "KeyHasChildren";
    case Status::CannotDelete:
      return "CannotDelete";
    case Status::BufferTooSmall:
      return "BufferTooSmall";
    case Status::KeyDeleted:
      return "KeyDeleted";
    case Status::InvalidParameter:
      return "InvalidParameter";
    case Status::InvalidName:
      return "InvalidName";
    case Status::NoMoreEntries:
      return "NoMoreEntries";
    case Status::ChildMustBeVolatile:
      return "ChildMustBeVolatile";
    case Status::BadFormat:
      return "BadFormat";
  }
  return "?";
}

std::u16string CurrentUserPath() { return std::u16string(kUsersRoot) + u"\\" + std::u16string(kCurrentUserSid); }

bool detail::SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
  parts->clear();
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty()) return true;
  std::size_t pos = 0;
  while (true) {
    const auto end = path.find(u'\\', pos);
    const auto part = path.substr(pos, end == std::u16string_view::npos ? std::u16string_view::npos : end - pos);
    if (part.empty()) return false;
    parts->push_back(part);
    if (end == std::u16string_view::npos) return true;
    pos = end + 1;
  }
}

Store& Store::Get() {
  static Store store;
  return store;
}

Store::Store() { Reset(); }

void Store::Reset() {
  std::lock_guard lock(mutex_);
  if (root_) Impl::MarkDeleted(root_.get());
  root_ = Impl::MakeRoot(Impl::Now());
  const std::u16string machine(kMachineRoot);
  const std::u16string user = CurrentUserPath();
  const std::u16string keys[] = {
      machine + u"\\SOFTWARE\\Classes\\CLSID",
      machine + u"\\SOFTWARE\\Classes\\Wow6432Node\\CLSID",
      machine + u"\\SOFTWARE\\Microsoft",
      machine + u"\\SOFTWARE\\Wow6432Node\\Microsoft",
      machine + u"\\SYSTEM\\CurrentControlSet\\Services",
      machine + u"\\SYSTEM\\CurrentControlSet\\Enum",
      machine + u"\\HARDWARE",
      std::u16string(kUsersRoot) + u"\\.DEFAULT\\Software",
      user + u"\\Software\\Classes",
  };
  for (const auto& key : keys) Impl::Ensure(*this, key, nullptr);
}

Status Store::Open(const Key* parent, std::u16string_view path, uint32_t desired_access, Key* out) {
  if (!out) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  std::vector<std::u16string_view> parts;
  Status status = Impl::Start(*this, parent, path, &node, &parts);
  if (status != Status::Success) return status;
  node = Impl::Walk(node, parts, parts.size());
  if (!node) return Status::NotFound;
  return Impl::Grant(node, desired_access, out);
}

Status Store::Create(const Key* parent, std::u16string_view path, uint32_t desired_access, uint32_t options,
                     std::u16string_view class_name, Key* out, Disposition* disposition) {
  if (!out) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  std::vector<std::u16string_view> parts;
  Status status = Impl::Start(*this, parent, path, &node, &parts);
  if (status != Status::Success) return status;
  if (parts.empty()) {
    status = Impl::Grant(node, desired_access, out);
    if (status == Status::Success && disposition) *disposition = Disposition::OpenedExisting;
    return status;
  }
  auto container = Impl::Walk(node, parts, parts.size() - 1);
  if (!container) return Status::NotFound;
  if (auto existing = Impl::ChildShared(container.get(), parts.back())) {
    status = Impl::Grant(existing, desired_access, out);
    if (status == Status::Success && disposition) *disposition = Disposition::OpenedExisting;
    return status;
  }
  if (Impl::IsReadOnly(container.get())) return Status::AccessDenied;
  const bool volatile_key = (options & kOptionVolatile) != 0;
  if (container->volatile_key && !volatile_key) return Status::ChildMustBeVolatile;
  auto created = Impl::NewChild(container.get(), parts.back(), volatile_key, Impl::Now());
  created->class_name = std::u16string(class_name);
  out->node_ = created;
  out->access_ = Impl::GrantedAccess(desired_access, false);
  if (disposition) *disposition = Disposition::CreatedNew;
  return Status::Success;
}

Status Store::QueryKey(const Key& key, KeyInfo* info) {
  if (!info) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  const Status status = Impl::Check(key, access::kQueryValue);
  if (status != Status::Success) return status;
  const Node& node = *key.node_;
  KeyInfo r;
  r.name = node.name;
  r.class_name = node.class_name;
  r.last_write_time = node.last_write_time;
  r.subkeys = static_cast<uint32_t>(node.children.size());
  for (const auto& [upper, child] : node.children) {
    r.max_subkey_name = std::max(r.max_subkey_name, static_cast<uint32_t>(child->name.size()));
    r.max_subkey_class = std::max(r.max_subkey_class, static_cast<uint32_t>(child->class_name.size()));
  }
  r.values = static_cast<uint32_t>(node.values.size());
  for (const auto& v : node.values) {
    r.max_value_name = std::max(r.max_value_name, static_cast<uint32_t>(v.name.size()));
    r.max_value_data = std::max(r.max_value_data, static_cast<uint32_t>(v.data.size()));
  }
  *info = std::move(r);
  return Status::Success;
}

Status Store::EnumerateKey(const Key& key, uint32_t index, SubkeyInfo* info) {
  if (!info) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  const Status status = Impl::Check(key, access::kEnumerateSubKeys);
  if (status != Status::Success) return status;
  const auto& children = key.node_->children;
  if (index >= children.size()) return Status::NoMoreEntries;
  const Node& child = *std::next(children.begin(), index)->second;
  info->name = child.name;
  info->class_name = child.class_name;
  info->last_write_time = child.last_write_time;
  return Status::Success;
}

Status Store::EnumerateValue(const Key& key, uint32_t index, Value* value) {
  if (!value) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  const Status status = Impl::Check(key, access::kQueryValue);
  if (status != Status::Success) return status;
  if (index >= key.node_->values.size()) return Status::NoMoreEntries;
  *value = key.node_->values[index];
  return Status::Success;
}

Status Store::QueryValue(const Key& key, std::u16string_view name, Value* value) {
  if (!value) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  const Status status = Impl::Check(key, access::kQueryValue);
  if (status != Status::Success) return status;
  const Value* found = Impl::FindValue(key.node_.get(), name);
  if (!found) return Status::NotFound;
  *value = *found;
  return Status::Success;
}

Status Store::SetValue(const Key& key, std::u16string_view name, uint32_t type, const void* data, std::size_t size) {
  if (!data && size != 0) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  const Status status = Impl::CheckWritable(key, access::kSetValue);
  if (status != Status::Success) return status;
  Node& node = *key.node_;
  Value* value = Impl::FindValue(&node, name);
  if (!value) {
    node.values.push_back(Value{std::u16string(name), type, {}});
    value = &node.values.back();
  }
  value->type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  value->data.assign(bytes, bytes + size);
  node.last_write_time = Impl::Now();
  return Status::Success;
}

Status Store::DeleteValue(const Key& key, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  const Status status = Impl::CheckWritable(key, access::kSetValue);
  if (status != Status::Success) return status;
  auto& values = key.node_->values;
  auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
  if (it == values.end()) return Status::NotFound;
  values.erase(it);
  key.node_->last_write_time = Impl::Now();
  return Status::Success;
}

Status Store::DeleteKey(const Key& key) {
  std::lock_guard lock(mutex_);
  Status status = Impl::Check(key, access::kDelete);
  if (status != Status::Success) return status;
  Node* node = key.node_.get();
  // \REGISTRY, MACHINE and USER, and the hives directly below them.
  if (Impl::Depth(node) <= 2) return Status::CannotDelete;
  if (Impl::IsReadOnly(node)) return Status::AccessDenied;
  if (!node->children.empty()) return Status::KeyHasChildren;
  Node* parent = node->parent;
  parent->children.erase(Upcase(node->name));
  parent->last_write_time = Impl::Now();
  Impl::MarkDeleted(node);
  return Status::Success;
}

Status Store::FullPath(const Key& key, std::u16string* path) {
  if (!path || !key.node_) return Status::InvalidParameter;
  std::lock_guard lock(mutex_);
  if (key.node_->deleted) return Status::KeyDeleted;
  std::vector<const Node*> chain;
  for (const Node* n = key.node_.get(); n; n = n->parent) chain.push_back(n);
  path->clear();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) *path += u"\\" + (*it)->name;
  return Status::Success;
}

bool Store::Exists(std::u16string_view absolute_path) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  std::vector<std::u16string_view> parts;
  if (Impl::Start(*this, nullptr, absolute_path, &node, &parts) != Status::Success) return false;
  return Impl::Walk(node, parts, parts.size()) != nullptr;
}

Status Store::EnsureKey(std::u16string_view absolute_path) {
  std::lock_guard lock(mutex_);
  return Impl::Ensure(*this, absolute_path, nullptr);
}

Status Store::SetReadOnly(std::u16string_view absolute_path, bool read_only) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Node> node;
  std::vector<std::u16string_view> parts;
  const Status status = Impl::Start(*this, nullptr, absolute_path, &node, &parts);
  if (status != Status::Success) return status;
  node = Impl::Walk(node, parts, parts.size());
  if (!node) return Status::NotFound;
  node->read_only = read_only;
  return Status::Success;
}

}  // namespace sim::registry
