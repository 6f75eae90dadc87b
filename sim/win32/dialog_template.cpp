// Reading extended dialog templates.
#include "sim/win32/dialog_template.h"

#include <array>

#include "sim/win32/resources.h"

namespace sim {

namespace {

class Reader {
 public:
  Reader(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}

  bool ok() const { return ok_; }
  uint16_t Word() {
    if (at_ + 2 > size_) return Fail();
    const auto v = static_cast<uint16_t>(data_[at_] | (data_[at_ + 1] << 8));
    at_ += 2;
    return v;
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  uint8_t Byte() {
    if (at_ + 1 > size_) return Fail();
    return data_[at_++];
  }
  std::string Text() {
    std::u16string text;
    for (;;) {
      const uint16_t c = Word();
      if (!ok_ || c == 0) break;
      text.push_back(static_cast<char16_t>(c));
    }
    return AnsiFromUtf16(text.data(), text.size());
  }
  // 0: none; 0xFFFF: an ordinal follows; else a string.
  TemplateId Id() {
    TemplateId id;
    if (at_ + 2 > size_) {
      Fail();
      return id;
    }
    const auto first = static_cast<uint16_t>(data_[at_] | (data_[at_ + 1] << 8));
    if (first == 0xFFFF) {
      Word();
      id.ordinal = Word();
    } else {
      id.text = Text();
    }
    return id;
  }
  void Align() {
    while (at_ % 4 != 0 && at_ < size_) ++at_;
  }
  std::vector<uint8_t> Bytes(size_t n) {
    if (at_ + n > size_) {
      Fail();
      return {};
    }
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }

 private:
  uint16_t Fail() {
    ok_ = false;
    at_ = size_;
    return 0;
  }
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

std::optional<DialogTemplate> ParseDialogTemplate(const void* data, size_t size) {
  if (data == nullptr) return std::nullopt;
  Reader r(data, size);
  DialogTemplate t;
  if (r.Word() != 1 || r.Word() != 0xFFFF) return std::nullopt;
  t.help_id = r.Dword();
  t.ex_style = r.Dword();
  t.style = r.Dword();
  const uint16_t count = r.Word();
  t.x = static_cast<int16_t>(r.Word());
  t.y = static_cast<int16_t>(r.Word());
  t.cx = static_cast<int16_t>(r.Word());
  t.cy = static_cast<int16_t>(r.Word());
  t.menu = r.Id();
  t.window_class = r.Id();
  t.title = r.Text();
  // DS_SETFONT (and DS_SHELLFONT, which contains it) announces the font.
  if (t.style & 0x40) {
    t.has_font = true;
    t.point_size = r.Word();
    t.weight = r.Word();
    t.italic = r.Byte();
    t.charset = r.Byte();
    t.typeface = r.Text();
  }
  for (uint16_t i = 0; i < count && r.ok(); ++i) {
    r.Align();
    DialogItemTemplate item;
    item.help_id = r.Dword();
    item.ex_style = r.Dword();
    item.style = r.Dword();
    item.x = static_cast<int16_t>(r.Word());
    item.y = static_cast<int16_t>(r.Word());
    item.cx = static_cast<int16_t>(r.Word());
    item.cy = static_cast<int16_t>(r.Word());
    item.id = r.Dword();
    item.window_class = r.Id();
    item.title = r.Id();
    const uint16_t extra = r.Word();
    if (extra) item.creation_data = r.Bytes(extra);
    t.items.push_back(std::move(item));
  }
  if (!r.ok()) return std::nullopt;
  return t;
}

std::string ClassName(const TemplateId& window_class) {
  static constexpr std::array<const char*, 6> kPredefined = {"Button",  "Edit",      "Static",
                                                             "ListBox", "ScrollBar", "ComboBox"};
  if (window_class.ordinal) {
    const unsigned index = *window_class.ordinal - 0x80u;
    return index < kPredefined.size() ? kPredefined[index] : "#" + std::to_string(*window_class.ordinal);
  }
  return window_class.text;
}

}  // namespace sim
