// An extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items)
// read from a module's RT_DIALOG resource, the bytes the platform's resource
// compiler writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A class or text of a template: a string, or a 16-bit ordinal.
struct TemplateId {
  std::optional<uint16_t> ordinal;
  std::string text;
  bool operator==(const TemplateId&) const = default;
};

struct DialogItemTemplate {
  uint32_t help_id = 0;
  uint32_t ex_style = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint32_t id = 0;
  TemplateId window_class;  // predefined classes as ordinals: 0x80 button ... 0x85 combo box
  TemplateId title;
  std::vector<uint8_t> creation_data;
};

struct DialogTemplate {
  uint32_t help_id = 0;
  uint32_t ex_style = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  TemplateId menu;
  TemplateId window_class;
  std::string title;
  bool has_font = false;
  uint16_t point_size = 0;
  uint16_t weight = 0;
  uint8_t italic = 0;
  uint8_t charset = 0;
  std::string typeface;
  std::vector<DialogItemTemplate> items;
};

// Null when the bytes are not a whole extended template.
std::optional<DialogTemplate> ParseDialogTemplate(const void* data, size_t size);

// The class name of a predefined class ordinal ("Button", ... "ComboBox"),
// or the template's own class name.
std::string ClassName(const TemplateId& window_class);

}  // namespace sim
