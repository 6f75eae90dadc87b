// The store's tree, private to sim/registry.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/registry/names.h"
#include "sim/registry/store.h"

namespace sim::registry::detail {

struct Node {
  std::u16string name;
  std::u16string class_name;
  Node* parent = nullptr;  // null for \REGISTRY and for deleted keys
  // Keyed by the upper-cased name, so iteration is Windows' enumeration order.
  std::map<std::u16string, std::shared_ptr<Node>> children;
  std::vector<Value> values;  // creation order
  uint64_t last_write_time = 0;
  bool deleted = false;
  bool volatile_key = false;
  bool read_only = false;  // this key and its subtree refuse writers
};

// Splits a path at backslashes; a trailing backslash is dropped. False when an
// element is empty.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts);

}  // namespace sim::registry::detail

namespace sim::registry {

using detail::Node;

// The store's private operations, shared by store.cpp and reg_file.cpp; the
// caller holds the store's mutex.
struct Store::Impl {
  static uint64_t Now() {
    // FILETIME: 100 ns units since 1601-01-01.
    constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
    const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsFileTime +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970).count() / 100);
  }

  static bool IsReadOnly(const Node* node) {
    for (; node; node = node->parent)
      if (node->read_only) return true;
    return false;
  }

  static int Depth(const Node* node) {
    int depth = 0;
    for (; node->parent; node = node->parent) ++depth;
    return depth;
  }

  static uint32_t GrantedAccess(uint32_t desired, bool read_only) {
    uint32_t a = desired & ~(access::kWow64_32Key | access::kWow64_64Key);
    if (a & access::kGenericRead) a |= access::kRead;
    if (a & access::kGenericWrite) a |= access::kWrite;
    if (a & access::kGenericExecute) a |= access::kRead;
    if (a & access::kGenericAll) a |= access::kAllAccess;
    a &= ~(access::kGenericRead | access::kGenericWrite | access::kGenericExecute | access::kGenericAll);
    if (a & access::kMaximumAllowed)
      a = (a & ~access::kMaximumAllowed) | (read_only ? access::kRead : access::kAllAccess);
    return a;
  }

  static std::shared_ptr<Node> ChildShared(Node* node, std::u16string_view name) {
    auto it = node->children.find(Upcase(name));
    return it == node->children.end() ? nullptr : it->second;
  }

  static std::shared_ptr<Node> NewChild(Node* parent, std::u16string_view name, bool volatile_key, uint64_t now) {
    auto node = std::make_shared<Node>();
    node->name = std::u16string(name);
    node->parent = parent;
    node->volatile_key = volatile_key;
    node->last_write_time = now;
    parent->children.emplace(Upcase(name), node);
    parent->last_write_time = now;
    return node;
  }

  static void MarkDeleted(Node* node) {
    for (auto& [upper, child] : node->children) MarkDeleted(child.get());
    node->children.clear();
    node->deleted = true;
    node->parent = nullptr;
  }

  // Resolves the starting node and the elements of `path`.
  static Status Start(Store& s, const Key* parent, std::u16string_view path, std::shared_ptr<Node>* start,
                      std::vector<std::u16string_view>* parts) {
    if (parent) {
      if (!parent->node_) return Status::InvalidParameter;
      if (parent->node_->deleted) return Status::KeyDeleted;
      if (!path.empty() && path.front() == u'\\') return Status::InvalidName;
      if (!detail::SplitPath(path, parts)) return Status::InvalidName;
      *start = parent->node_;
      return Status::Success;
    }
    if (path.empty() || path.front() != u'\\') return Status::InvalidName;
    if (!detail::SplitPath(path.substr(1), parts) || parts->empty()) return Status::InvalidName;
    if (!NamesEqual(parts->front(), kRegistryRoot.substr(1))) return Status::NotFound;
    parts->erase(parts->begin());
    *start = s.root_;
    return Status::Success;
  }

  static std::shared_ptr<Node> Walk(std::shared_ptr<Node> node, const std::vector<std::u16string_view>& parts,
                                    std::size_t count) {
    for (std::size_t i = 0; i < count && node; ++i) node = ChildShared(node.get(), parts[i]);
    return node;
  }

  static Status Grant(const std::shared_ptr<Node>& node, uint32_t desired, Key* out) {
    const bool read_only = IsReadOnly(node.get());
    const uint32_t granted = GrantedAccess(desired, read_only);
    if (read_only && (granted & access::kWriteRights)) return Status::AccessDenied;
    out->node_ = node;
    out->access_ = granted;
    return Status::Success;
  }

  // Checks a Key before an operation: rights first, then whether it still exists.
  static Status Check(const Key& key, uint32_t needed) {
    if (!key.node_) return Status::InvalidParameter;
    if ((key.access_ & needed) != needed) return Status::AccessDenied;
    if (key.node_->deleted) return Status::KeyDeleted;
    return Status::Success;
  }

  static Status CheckWritable(const Key& key, uint32_t needed) {
    const Status status = Check(key, needed);
    if (status != Status::Success) return status;
    return IsReadOnly(key.node_.get()) ? Status::AccessDenied : Status::Success;
  }

  static Value* FindValue(Node* node, std::u16string_view name) {
    for (auto& v : node->values)
      if (NamesEqual(v.name, name)) return &v;
    return nullptr;
  }

  static std::shared_ptr<Node> MakeRoot(uint64_t now) {
    auto root = std::make_shared<Node>();
    root->name = std::u16string(kRegistryRoot.substr(1));
    root->last_write_time = now;
    return root;
  }

  static Status Ensure(Store& s, std::u16string_view absolute_path, std::shared_ptr<Node>* out) {
    std::shared_ptr<Node> node;
    std::vector<std::u16string_view> parts;
    const Status status = Start(s, nullptr, absolute_path, &node, &parts);
    if (status != Status::Success) return status;
    const uint64_t now = Now();
    for (auto part : parts) {
      auto next = ChildShared(node.get(), part);
      node = next ? next : NewChild(node.get(), part, false, now);
    }
    if (out) *out = node;
    return Status::Success;
  }
};

}  // namespace sim::registry
