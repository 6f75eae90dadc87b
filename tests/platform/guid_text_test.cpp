// GUID text forms: StringFromGUID2, CLSIDFromString, IIDFromString and the ANSI helpers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/com.h"
#include "platform/hdaudio.h"
#include "platform/ks.h"

namespace {

std::u16string Text(const GUID& guid) {
  std::array<WCHAR, 64> buffer{};
  const int written = StringFromGUID2(guid, buffer.data(), static_cast<int>(buffer.size()));
  EXPECT_EQ(39, written);
  return std::u16string(buffer.data());
}

GUID Sentinel() {
  GUID guid;
  std::memset(&guid, 0xCC, sizeof(guid));
  return guid;
}

constexpr GUID kPin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};

TEST(StringFromGUID2, WritesTheBracedUpperCaseForm) {
  EXPECT_EQ(u"{8C134960-51AD-11CF-878A-94F801C10000}", Text(kPin));
  EXPECT_EQ(u"{00000000-0000-0000-0000-000000000000}", Text(GUID_NULL));
  EXPECT_EQ(u"{00000000-0000-0000-C000-000000000046}", Text(IID_IUnknown));
}

TEST(StringFromGUID2, ExactBufferHoldsTextAndTerminator) {
  std::array<WCHAR, 40> buffer;
  buffer.fill(u'#');
  EXPECT_EQ(39, StringFromGUID2(kPin, buffer.data(), 39));
  EXPECT_EQ(u'\0', buffer[38]);
  EXPECT_EQ(u'#', buffer[39]) << "wrote past the buffer";
}

TEST(StringFromGUID2, TooSmallBufferReturnsZeroAndLeavesItUntouched) {
  for (int size : {38, 1, 0, -1}) {
    SCOPED_TRACE(size);
    std::array<WCHAR, 40> buffer;
    buffer.fill(u'#');
    EXPECT_EQ(0, StringFromGUID2(kPin, buffer.data(), size));
    for (WCHAR c : buffer) EXPECT_EQ(u'#', c);
  }
  EXPECT_EQ(0, StringFromGUID2(kPin, nullptr, 39));
}

// Documented text forms of GUIDs that cross the device-control and bus interfaces.
TEST(GuidTable, MatchesTheDocumentedTextForms) {
  struct Case {
    const GUID& guid;
    const char16_t* text;
  };
  const Case cases[] = {
      {KSPROPSETID_Pin, u"{8C134960-51AD-11CF-878A-94F801C10000}"},
      {KSPROPSETID_Topology, u"{720D4AC0-7533-11D0-A5D6-28DB04C10000}"},
      {KSPROPSETID_Connection, u"{1D58C920-AC9B-11CF-A5D6-28DB04C10000}"},
      {KSPROPSETID_RtAudio, u"{A855A48C-2F78-4729-9051-1968746B9EEF}"},
      {KSINTERFACESETID_Standard, u"{1A8766A0-62CE-11CF-A5D6-28DB04C10000}"},
      {KSMEDIUMSETID_Standard, u"{4747B320-62CE-11CF-A5D6-28DB04C10000}"},
      {KSDATAFORMAT_TYPE_AUDIO, u"{73647561-0000-0010-8000-00AA00389B71}"},
      {KSDATAFORMAT_SUBTYPE_PCM, u"{00000001-0000-0010-8000-00AA00389B71}"},
      {KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, u"{05589F81-C356-11CE-BF01-00AA0055595A}"},
      {KSNODETYPE_SPEAKER, u"{DFF21CE1-F70F-11D0-B917-00A0C9223196}"},
      {KSNODETYPE_HEADPHONES, u"{DFF21CE2-F70F-11D0-B917-00A0C9223196}"},
      {KSNODETYPE_SPDIF_INTERFACE, u"{DFF21FE5-F70F-11D0-B917-00A0C9223196}"},
      {KSNODETYPE_MICROPHONE, u"{DFF21BE1-F70F-11D0-B917-00A0C9223196}"},
      {KSNODETYPE_LINE_CONNECTOR, u"{DFF21FE3-F70F-11D0-B917-00A0C9223196}"},
      {KSNODETYPE_ANALOG_CONNECTOR, u"{DFF21FE1-F70F-11D0-B917-00A0C9223196}"},
      {KSNODETYPE_DIGITAL_AUDIO_INTERFACE, u"{DFF21FE2-F70F-11D0-B917-00A0C9223196}"},
      {IID_IClassFactory, u"{00000001-0000-0000-C000-000000000046}"},
      {GUID_HDAUDIO_BUS_INTERFACE, u"{D2EAF88B-AB18-41A8-B664-8D592167671B}"},
      {GUID_HDAUDIO_BUS_INTERFACE_V2, u"{B52AF5FB-424B-4BB9-A160-5B38BE94E568}"},
  };
  for (const Case& c : cases) EXPECT_EQ(std::u16string(c.text), Text(c.guid));
}

TEST(CLSIDFromString, RoundTripsEveryCharacterPosition) {
  const GUID guid = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  const std::u16string text = Text(guid);
  GUID read = Sentinel();
  EXPECT_EQ(NOERROR, CLSIDFromString(text.c_str(), &read));
  EXPECT_EQ(guid, read);
}

TEST(CLSIDFromString, AcceptsLowerCase) {
  GUID read = Sentinel();
  EXPECT_EQ(NOERROR, CLSIDFromString(u"{8c134960-51ad-11cf-878a-94f801c10000}", &read));
  EXPECT_EQ(kPin, read);
}

struct BadText {
  const char* what;
  const char16_t* text;
  HRESULT iidResult;
};

// IIDFromString tells text of the wrong shape (E_INVALIDARG) from a braced
// form with a bad character (CO_E_IIDSTRING); CLSIDFromString says
// CO_E_CLASSSTRING to both. Either leaves GUID_NULL, not a half-read GUID.
const BadText kBadTexts[] = {
    {"trailing character", u"{8C134960-51AD-11CF-878A-94F801C10000}x", E_INVALIDARG},
    {"no braces", u"8C134960-51AD-11CF-878A-94F801C10000", E_INVALIDARG},
    {"one digit short", u"{8C134960-51AD-11CF-878A-94F801C1000}", E_INVALIDARG},
    {"leading space", u" {8C134960-51AD-11CF-878A-94F801C10000}", E_INVALIDARG},
    {"empty", u"", E_INVALIDARG},
    {"a ProgID", u"No.Such.ProgId", E_INVALIDARG},
    {"bad hex digit", u"{8C134960-51AD-11CF-878A-94F801C1000G}", CO_E_IIDSTRING},
    {"dash replaced", u"{8C134960051AD-11CF-878A-94F801C10000}", CO_E_IIDSTRING},
    {"sign in a field", u"{+C134960-51AD-11CF-878A-94F801C10000}", CO_E_IIDSTRING},
};

TEST(CLSIDFromString, BadTextGivesClassStringErrorAndNullGuid) {
  for (const BadText& bad : kBadTexts) {
    SCOPED_TRACE(bad.what);
    GUID read = Sentinel();
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(bad.text, &read));
    EXPECT_EQ(GUID_NULL, read);
  }
}

TEST(IIDFromString, BadTextGivesShapeOrStringError) {
  for (const BadText& bad : kBadTexts) {
    SCOPED_TRACE(bad.what);
    GUID read = Sentinel();
    EXPECT_EQ(bad.iidResult, IIDFromString(bad.text, &read));
    EXPECT_EQ(GUID_NULL, read);
  }
}

TEST(GuidFromString, NullTextIsTheNullGuid) {
  GUID read = Sentinel();
  EXPECT_EQ(NOERROR, CLSIDFromString(nullptr, &read));
  EXPECT_EQ(GUID_NULL, read);
  read = Sentinel();
  EXPECT_EQ(S_OK, IIDFromString(nullptr, &read));
  EXPECT_EQ(GUID_NULL, read);
}

// Windows checks CLSIDFromString's out pointer; Wine 8 crashes on a null one
// for IIDFromString. Both answer E_INVALIDARG here.
TEST(GuidFromString, NullOutPointerIsInvalidArgument) {
  EXPECT_EQ(E_INVALIDARG, CLSIDFromString(u"{8C134960-51AD-11CF-878A-94F801C10000}", nullptr));
  EXPECT_EQ(E_INVALIDARG, IIDFromString(u"{8C134960-51AD-11CF-878A-94F801C10000}", nullptr));
}

TEST(OraGuidStringA, RoundTripsAndRefusesSmallBuffers) {
  std::array<char, 40> buffer;
  buffer.fill('#');
  EXPECT_EQ(0, OraStringFromGuidA(kPin, buffer.data(), 38));
  EXPECT_EQ('#', buffer[0]);
  EXPECT_EQ(39, OraStringFromGuidA(kPin, buffer.data(), 39));
  EXPECT_STREQ("{8C134960-51AD-11CF-878A-94F801C10000}", buffer.data());
  EXPECT_EQ('#', buffer[39]);

  GUID read = Sentinel();
  EXPECT_EQ(S_OK, OraGuidFromStringA(buffer.data(), &read));
  EXPECT_EQ(kPin, read);
  read = Sentinel();
  EXPECT_EQ(CO_E_CLASSSTRING, OraGuidFromStringA("{8C134960-51AD-11CF-878A-94F801C10000", &read));
  EXPECT_EQ(GUID_NULL, read);
  EXPECT_EQ(E_INVALIDARG, OraGuidFromStringA(nullptr, &read));
  EXPECT_EQ(E_INVALIDARG, OraGuidFromStringA(buffer.data(), nullptr));
}

}  // namespace
