// OraAsio's resources read back from a module through the resource
// functions: the control panel's template, the string table, the bitmap, the
// registry scripts, the version, and the same bytes as the cross toolchain's
// resource compiler makes of the script.
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>
#include <vector>

#include "platform/win32/dialog.h"
#include "platform/win32/resource.h"
#include "sim/win32/dialog_template.h"
#include "sim/win32/resource_table.h"
#include "tests/comres/comres_fixture.h"

namespace comres {
namespace {

class Resources : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    HMODULE module = LoadLibraryA(kServerPath);
    ASSERT_NE(nullptr, module) << GetLastError();
    module_.reset(module);
  }
  void TearDown() override {
    module_.reset();
    MachineTest::TearDown();
  }

  std::vector<uint8_t> Bytes(LPCSTR type, LPCSTR name) const {
    HRSRC resource = FindResourceA(module_.get(), name, type);
    EXPECT_NE(nullptr, resource) << GetLastError();
    if (resource == nullptr) return {};
    const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module_.get(), resource)));
    return {data, data + SizeofResource(module_.get(), resource)};
  }

  ModulePtr module_;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(Resources, TheControlPanelTemplateHasItsControlsInOrder) {
  const std::vector<uint8_t> bytes = Bytes(RT_DIALOG, "IDD_ASIOCP_TELVAR");
  const auto dialog = sim::ParseDialogTemplate(bytes.data(), bytes.size());
  ASSERT_TRUE(dialog.has_value());
  EXPECT_EQ(0x80C00AC4u, dialog->style);
  EXPECT_EQ(0u, dialog->style & WS_SYSMENU);
  EXPECT_EQ(0u, dialog->ex_style);
  EXPECT_EQ(std::make_tuple(0, 0, 192, 88), std::make_tuple(dialog->x, dialog->y, dialog->cx, dialog->cy));
  EXPECT_EQ("Calvex VN ORA ASIO", dialog->title);
  ASSERT_TRUE(dialog->has_font);
  EXPECT_EQ(8, dialog->point_size);
  EXPECT_EQ("MS Sans Serif", dialog->typeface);

  struct Control {
    uint32_t id;
    const char* window_class;
    const char* text;
    uint16_t image;
    uint32_t style;  // besides WS_CHILD | WS_VISIBLE
    uint32_t ex_style;
    int16_t x, y, cx, cy;
  };
  const Control expected[] = {
      {1000, "Button", "OK", 0, BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 139, 44, 45, 13},
      {1001, "Button", "Cancel", 0, BS_PUSHBUTTON | WS_TABSTOP, 0, 139, 62, 45, 13},
      {1017, "Static", "", 118, SS_BITMAP, WS_EX_DLGMODALFRAME, 69, 6, 54, 28},
      {1012, "ComboBox", "", 0, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, 57, 56, 66, 90},
      {4, "Button", "Preferences", 0, BS_GROUPBOX, 0, 8, 41, 124, 39},
      {202, "Static", "Latency :", 0, SS_RIGHT | WS_GROUP, 0, 10, 58, 37, 8},
  };
  ASSERT_EQ(std::size(expected), dialog->items.size());
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& e = expected[i];
    const auto& item = dialog->items[i];
    SCOPED_TRACE("control " + std::to_string(e.id));
    EXPECT_EQ(e.id, item.id);
    EXPECT_EQ(e.window_class, sim::ClassName(item.window_class));
    if (e.image != 0) {
      EXPECT_EQ(std::optional<uint16_t>(e.image), item.title.ordinal);
    } else {
      EXPECT_EQ(std::nullopt, item.title.ordinal);
      EXPECT_EQ(e.text, item.title.text);
    }
    EXPECT_EQ(e.style | WS_CHILD | WS_VISIBLE, item.style);
    EXPECT_EQ(e.ex_style, item.ex_style);
    EXPECT_EQ(std::make_tuple(e.x, e.y, e.cx, e.cy), std::make_tuple(item.x, item.y, item.cx, item.cy));
  }
  // Every shorter piece of the template is refused.
  for (size_t size = 0; size < bytes.size(); size += 7) EXPECT_FALSE(sim::ParseDialogTemplate(bytes.data(), size));
}

TEST_F(Resources, StringTableEntries) {
  char text[32];
  struct Case {
    UINT id;
    const char* text;
  };
  for (const Case& c : {Case{1, "OraAsio.dll"}, Case{100, "OraHdAsio"}}) {
    SCOPED_TRACE(c.id);
    std::memset(text, 'x', sizeof(text));
    SetLastError(kSentinel);
    EXPECT_EQ(static_cast<int>(std::strlen(c.text)), LoadStringA(module_.get(), c.id, text, sizeof(text)));
    EXPECT_STREQ(c.text, text);
    EXPECT_EQ('x', text[std::strlen(c.text) + 1]);
  }
  // A short buffer gets the start of the text, terminated.
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(4, LoadStringA(module_.get(), 1, text, 5));
  EXPECT_STREQ("OraA", text);
  EXPECT_EQ('x', text[5]);
  // An id in a block that exists, and one in a block that does not.
  for (UINT missing : {2u, 500u}) {
    SCOPED_TRACE(missing);
    SetLastError(kSentinel);
    text[0] = 'x';
    EXPECT_EQ(0, LoadStringA(module_.get(), missing, text, sizeof(text)));
    EXPECT_EQ(ERROR_RESOURCE_NAME_NOT_FOUND, GetLastError());
    EXPECT_EQ(0, text[0]);
  }
}

TEST_F(Resources, Bitmap118IsA75By39PictureOf8BitsPerPixel) {
  const std::vector<uint8_t> dib = Bytes(RT_BITMAP, MAKEINTRESOURCEA(118));
  ASSERT_GE(dib.size(), 40u);
  auto dword = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, &dib[at], 4);
    return v;
  };
  auto word = [&](size_t at) { return static_cast<uint16_t>(dib[at] | (dib[at + 1] << 8)); };
  EXPECT_EQ(40u, dword(0));
  EXPECT_EQ(75u, dword(4));
  EXPECT_EQ(39u, dword(8));
  EXPECT_EQ(1u, word(12));
  EXPECT_EQ(8u, word(14));
  // The colours and rows of 76 bytes (75 rounded up to four) follow the header.
  EXPECT_EQ(40u + 256 * 4 + 76 * 39, dib.size());
  const std::vector<uint8_t> file = ReadFile(ORA_RESOURCES_DIR "/OraAsio.bmp");
  ASSERT_GT(file.size(), 14u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 14, file.end()), dib);

  // Loaded, it is a bitmap of the display's depth.
  HBITMAP bitmap = LoadBitmapA(module_.get(), MAKEINTRESOURCEA(118));
  ASSERT_NE(nullptr, bitmap);
  BITMAP info{};
  EXPECT_EQ(static_cast<int>(sizeof(BITMAP)), GetObjectA(bitmap, sizeof(info), &info));
  EXPECT_EQ(75, info.bmWidth);
  EXPECT_EQ(39, info.bmHeight);
  EXPECT_EQ(1, info.bmPlanes);
  EXPECT_EQ(static_cast<int>(sizeof(BITMAP)), GetObjectA(bitmap, 0, nullptr));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(DeleteObject(bitmap));
  EXPECT_EQ(0, GetObjectA(bitmap, sizeof(info), &info));
}

TEST_F(Resources, RegistryScriptsAreTheFilesBytes) {
  EXPECT_EQ(ReadFile(ORA_RESOURCES_DIR "/OraAsio.rgs"), Bytes("REGISTRY", MAKEINTRESOURCEA(101)));
  EXPECT_EQ(ReadFile(ORA_RESOURCES_DIR "/CAsio.rgs"), Bytes("REGISTRY", MAKEINTRESOURCEA(102)));
  // Names compare without case, and "#id" is the id.
  EXPECT_EQ(Bytes("REGISTRY", MAKEINTRESOURCEA(101)), Bytes("registry", "#101"));
  EXPECT_EQ(Bytes(RT_DIALOG, "IDD_ASIOCP_TELVAR"), Bytes(RT_DIALOG, "idd_asiocp_telvar"));
}

TEST_F(Resources, VersionResourceCarriesTheFixedFileInfo) {
  const std::vector<uint8_t> version = Bytes(RT_VERSION, MAKEINTRESOURCEA(1));
  ASSERT_GE(version.size(), 40u + 52u);
  uint32_t fixed[13];
  std::memcpy(fixed, &version[40], sizeof(fixed));
  EXPECT_EQ(0xFEEF04BDu, fixed[0]);
  EXPECT_EQ(0x00010000u, fixed[2]);  // 1.0
  EXPECT_EQ(0x00000001u, fixed[3]);  // .0.1
  EXPECT_EQ(VOS_NT_WINDOWS32, fixed[8]);
  EXPECT_EQ(VFT_DLL, fixed[9]);
  EXPECT_EQ(version.size(), static_cast<size_t>(version[0] | (version[1] << 8)));
}

TEST_F(Resources, LookupFailuresNameWhatIsMissing) {
  struct Case {
    const char* what;
    HMODULE module;
    LPCSTR type;
    LPCSTR name;
    DWORD error;
  };
  HMODULE plain = LoadLibraryA(kNoFactoryPath);
  ASSERT_NE(nullptr, plain);
  ModulePtr plain_owner(plain);
  const Case cases[] = {
      {"type", module_.get(), RT_RCDATA, MAKEINTRESOURCEA(1), ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"name", module_.get(), "REGISTRY", MAKEINTRESOURCEA(999), ERROR_RESOURCE_NAME_NOT_FOUND},
      {"string name", module_.get(), RT_DIALOG, "IDD_NONE", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"module without resources", plain, "REGISTRY", MAKEINTRESOURCEA(101), ERROR_RESOURCE_DATA_NOT_FOUND},
      {"process image", nullptr, "REGISTRY", MAKEINTRESOURCEA(101), ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_EQ(nullptr, FindResourceA(c.module, c.name, c.type));
    EXPECT_EQ(c.error, GetLastError());
  }
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, FindResourceExA(module_.get(), "REGISTRY", MAKEINTRESOURCEA(101), 0x0407));
  EXPECT_EQ(ERROR_RESOURCE_LANG_NOT_FOUND, GetLastError());
  EXPECT_NE(nullptr, FindResourceExA(module_.get(), "REGISTRY", MAKEINTRESOURCEA(101), 0x0409));
  // A resource handle of one module means nothing to another.
  HRSRC resource = FindResourceA(module_.get(), MAKEINTRESOURCEA(101), "REGISTRY");
  EXPECT_EQ(nullptr, LoadResource(plain, resource));
  EXPECT_EQ(0u, SizeofResource(plain, resource));
}

#ifdef ORA_WINDRES_RES
// A .res file: records of a header (sizes, type, name, language) and data.
std::map<std::tuple<std::string, std::string, uint16_t>, std::vector<uint8_t>> ReadRes(const std::vector<uint8_t>& b) {
  std::map<std::tuple<std::string, std::string, uint16_t>, std::vector<uint8_t>> out;
  auto word = [&](size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); };
  auto dword = [&](size_t at) { return static_cast<uint32_t>(word(at) | (word(at + 2) << 16)); };
  auto id = [&](size_t* at) {
    std::string text;
    if (word(*at) == 0xFFFF) {
      text = "#" + std::to_string(word(*at + 2));
      *at += 4;
      return text;
    }
    while (word(*at) != 0) {
      text.push_back(static_cast<char>(word(*at)));
      *at += 2;
    }
    *at += 2;
    return text;
  };
  size_t at = 0;
  while (at + 8 <= b.size()) {
    const uint32_t data_size = dword(at);
    const uint32_t header_size = dword(at + 4);
    size_t p = at + 8;
    const std::string type = id(&p);
    const std::string name = id(&p);
    p = (p + 3) & ~size_t{3};
    const uint16_t language = word(p + 6);
    if (data_size != 0)
      out[{type, name, language}] =
          std::vector<uint8_t>(b.begin() + at + header_size, b.begin() + at + header_size + data_size);
    at = (at + header_size + data_size + 3) & ~size_t{3};
  }
  return out;
}

TEST_F(Resources, OurResourceCompilerAgreesWithTheCrossToolchains) {
  const auto windres = ReadRes(ReadFile(ORA_WINDRES_RES));
  ASSERT_FALSE(windres.empty());
  size_t compared = 0;
  for (const auto& [key, data] : windres) {
    const auto& [type, name, language] = key;
    SCOPED_TRACE(type + " " + name);
    const std::string type_arg = type;
    const std::string name_arg = name;
    HRSRC resource = FindResourceExA(module_.get(), type_arg.c_str(), name_arg.c_str(), language);
    ASSERT_NE(nullptr, resource);
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module_.get(), resource)));
    const std::vector<uint8_t> ours(bytes, bytes + SizeofResource(module_.get(), resource));
    if (type == "#5") {
      // windres keeps a predefined class named in a CONTROL statement as its
      // name; the platform's compiler, and ours, write the class's ordinal.
      const auto theirs_parsed = sim::ParseDialogTemplate(data.data(), data.size());
      const auto ours_parsed = sim::ParseDialogTemplate(ours.data(), ours.size());
      ASSERT_TRUE(theirs_parsed && ours_parsed);
      ASSERT_EQ(theirs_parsed->items.size(), ours_parsed->items.size());
      EXPECT_EQ(theirs_parsed->style, ours_parsed->style);
      EXPECT_EQ(theirs_parsed->title, ours_parsed->title);
      for (size_t i = 0; i < ours_parsed->items.size(); ++i) {
        const auto& a = theirs_parsed->items[i];
        const auto& o = ours_parsed->items[i];
        EXPECT_TRUE(sim::FileSystem::EqualsIgnoreCase(sim::ClassName(a.window_class), sim::ClassName(o.window_class)));
        EXPECT_EQ(std::make_tuple(a.id, a.style, a.ex_style, a.x, a.y, a.cx, a.cy, a.title),
                  std::make_tuple(o.id, o.style, o.ex_style, o.x, o.y, o.cx, o.cy, o.title));
      }
    } else {
      EXPECT_EQ(data, ours);
    }
    ++compared;
  }
  EXPECT_EQ(8u, compared);
}
#endif

}  // namespace
}  // namespace comres
