// The store's tree, private to sim/registry.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

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
