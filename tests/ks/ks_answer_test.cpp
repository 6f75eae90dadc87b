// Device answers are input: headers, data ranges, identifiers, physical
// connections and device paths, checked against the bytes that hold them.
#include <gtest/gtest.h>

#include <string>

#include "ks/ks_parse.h"
#include "tests/ks/ks_bytes.h"

namespace {

struct Kept {
  std::vector<KSDATARANGE_AUDIO> ranges;
  bool refuse = false;
};

bool Keep(void* ctx, const KSDATARANGE_AUDIO& range) {
  auto* kept = static_cast<Kept*>(ctx);
  if (kept->refuse) return false;
  kept->ranges.push_back(range);
  return true;
}

TEST(KsMultipleItem, HeaderMustFitTheAnswer) {
  struct Case {
    const char* name;
    ULONG size;
    ULONG count;
    ULONG cb;  // bytes of the answer
    bool ok;
    ULONG items;
  };
  const Case cases[] = {
      {"exact", 8 + 2 * 24, 2, 8 + 2 * 24, true, 2},
      {"empty", 8, 0, 8, true, 0},
      {"size past the answer", 8 + 2 * 24 + 1, 2, 8 + 2 * 24, false, 0},
      {"count past size", 8 + 24, 2, 8 + 2 * 24, false, 0},
      {"size below the header", 4, 0, 8, false, 0},
      {"huge count", 8 + 24, 0xFFFFFFFFu, 8 + 24, false, 0},
      {"answer shorter than a header", 8, 0, 7, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b;
    b.Put(KSMULTIPLE_ITEM{c.size, c.count}).Zeros(c.cb > 8 ? c.cb - 8 : 0);
    KsItemView view{99, nullptr, 99};
    EXPECT_EQ(c.ok, KsParseMultipleItem(b.data(), c.cb, sizeof(KSIDENTIFIER), &view));
    EXPECT_EQ(c.items, view.ulCount);
  }
  KsItemView view;
  EXPECT_FALSE(KsParseMultipleItem(nullptr, 100, 1, &view));
}

TEST(KsIdentifiers, StandardStreamingInterfaceAndMedium) {
  KSIDENTIFIER control{};
  control.Set = KSINTERFACESETID_Standard;
  control.Id = KSINTERFACE_STANDARD_CONTROL;
  KSIDENTIFIER looped = control;
  looped.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
  Bytes onlyControl = MultipleItem<KSIDENTIFIER>({control});
  Bytes withLooped = MultipleItem<KSIDENTIFIER>({control, looped});
  KsItemView view;
  ASSERT_TRUE(KsParseMultipleItem(onlyControl.data(), onlyControl.size(), sizeof(KSIDENTIFIER), &view));
  EXPECT_FALSE(KsHasIdentifier(view, KSINTERFACESETID_Standard, 0, 1));
  ASSERT_TRUE(KsParseMultipleItem(withLooped.data(), withLooped.size(), sizeof(KSIDENTIFIER), &view));
  EXPECT_TRUE(KsHasIdentifier(view, KSINTERFACESETID_Standard, 0, 1));
  EXPECT_FALSE(KsHasIdentifier(view, KSMEDIUMSETID_Standard, 0, 0));
}

TEST(KsScanDataRanges, KeepsAudioRangesInOrder) {
  Bytes b = MultipleItem<KSDATARANGE_AUDIO>(
      {AudioRange(2, 16, 24, 44100, 192000), AudioRange(8, 16, 32, 48000, 48000, KSDATAFORMAT_SUBTYPE_WILDCARD)});
  Kept kept;
  KsRangeScan scan = KsScanDataRanges(b.data(), b.size(), Keep, &kept);
  EXPECT_TRUE(scan.fAnyPassed);
  EXPECT_FALSE(scan.fMalformed);
  ASSERT_EQ(2u, kept.ranges.size());
  EXPECT_EQ(2u, kept.ranges[0].MaximumChannels);
  EXPECT_EQ(8u, kept.ranges[1].MaximumChannels);
  EXPECT_EQ(2u, scan.ulKept);
}

TEST(KsScanDataRanges, SubFormatTestStopsAfterTheFirstPass) {
  const GUID dsd = {0x12345678, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
  const GUID video = {0x73646976, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
  // A non-wave first range, then a wildcard range that is not audio: nothing
  // is kept, but a range passed.
  Bytes b = MultipleItem<KSDATARANGE_AUDIO>(
      {AudioRange(2, 16, 16, 1, 2, dsd), AudioRange(2, 16, 16, 1, 2, KSDATAFORMAT_SUBTYPE_WILDCARD, video)});
  Kept kept;
  KsRangeScan scan = KsScanDataRanges(b.data(), b.size(), Keep, &kept);
  EXPECT_TRUE(scan.fAnyPassed);
  EXPECT_EQ(0u, kept.ranges.size());

  // After a pass, later ranges are kept whatever their sub-format.
  Bytes c = MultipleItem<KSDATARANGE_AUDIO>({AudioRange(2, 16, 16, 1, 2), AudioRange(4, 16, 16, 1, 2, dsd)});
  kept = {};
  scan = KsScanDataRanges(c.data(), c.size(), Keep, &kept);
  EXPECT_EQ(2u, kept.ranges.size());

  Bytes none = MultipleItem<KSDATARANGE_AUDIO>({AudioRange(2, 16, 16, 1, 2, dsd)});
  kept = {};
  EXPECT_FALSE(KsScanDataRanges(none.data(), none.size(), Keep, &kept).fAnyPassed);
  Bytes empty = MultipleItem<KSDATARANGE_AUDIO>({});
  EXPECT_FALSE(KsScanDataRanges(empty.data(), empty.size(), Keep, &kept).fAnyPassed);
}

TEST(KsScanDataRanges, MalformedRangesAreNotUsed) {
  struct Case {
    const char* name;
    ULONG secondFormatSize;  // FormatSize written into the second range
    ULONG trim;              // bytes cut from the end of the answer (Size follows)
    ULONG kept;
  };
  const Case cases[] = {
      {"well formed", 88, 0, 2},
      {"FormatSize 0 would never advance", 0, 0, 1},
      {"FormatSize below a data range", 63, 0, 1},
      {"runs past the answer", 89, 0, 1},
      {"answer cut inside the range", 88, 10, 1},
      {"plain 64-byte range is examined, not kept", 64, 24, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = MultipleItem<KSDATARANGE_AUDIO>({AudioRange(2, 16, 24, 1, 2), AudioRange(4, 16, 24, 1, 2)});
    b.PatchAt(8 + 88, c.secondFormatSize);
    b.vec().resize(b.size() - c.trim);
    b.PatchAt(0, b.size());
    Kept kept;
    KsRangeScan scan = KsScanDataRanges(b.data(), b.size(), Keep, &kept);
    EXPECT_EQ(c.kept, kept.ranges.size());
    EXPECT_TRUE(scan.fAnyPassed);
  }
}

TEST(KsScanDataRanges, HeaderThatDoesNotFitUsesNoRange) {
  Bytes b = MultipleItem<KSDATARANGE_AUDIO>({AudioRange(2, 16, 24, 1, 2)});
  Kept kept;
  // Size claims more than was returned.
  KsRangeScan scan = KsScanDataRanges(b.data(), b.size() - 1, Keep, &kept);
  EXPECT_TRUE(scan.fMalformed);
  EXPECT_FALSE(scan.fAnyPassed);
  // Count claims more ranges than the Size can hold.
  b.PatchAt(4, ULONG{2});
  scan = KsScanDataRanges(b.data(), b.size(), Keep, &kept);
  EXPECT_TRUE(scan.fMalformed);
  EXPECT_EQ(0u, kept.ranges.size());
}

TEST(KsScanDataRanges, RefusedRangeIsReportedAndTheScanGoesOn) {
  Bytes b = MultipleItem<KSDATARANGE_AUDIO>({AudioRange(2, 16, 24, 1, 2), AudioRange(4, 16, 24, 1, 2)});
  Kept kept;
  kept.refuse = true;
  KsRangeScan scan = KsScanDataRanges(b.data(), b.size(), Keep, &kept);
  EXPECT_TRUE(scan.fSinkFailed);
  EXPECT_TRUE(scan.fAnyPassed);
  EXPECT_EQ(0u, scan.ulKept);
}

Bytes PhysicalConnection(ULONG pin, const std::u16string& link, bool terminate) {
  Bytes b;
  b.Put(ULONG{0}).Put(pin);
  for (char16_t ch : link) b.Put(ch);
  if (terminate) b.Put(char16_t{0});
  b.PatchAt(0, b.size());
  return b;
}

TEST(KsPhysicalConnection, LinkMustEndInsideTheAnswer) {
  ULONG pin = 99, cch = 99;
  Bytes good = PhysicalConnection(3, u"\\\\?\\hdaudio#topo", true);
  ASSERT_TRUE(KsParsePhysicalConnection(good.data(), good.size(), &pin, &cch));
  EXPECT_EQ(3u, pin);
  EXPECT_EQ(16u, cch);

  Bytes unterminated = PhysicalConnection(3, u"\\\\?\\hdaudio#topo", false);
  pin = 99;
  EXPECT_FALSE(KsParsePhysicalConnection(unterminated.data(), unterminated.size(), &pin, &cch));
  EXPECT_EQ(99u, pin);
  // The terminator just past the returned bytes does not count.
  EXPECT_FALSE(KsParsePhysicalConnection(good.data(), good.size() - 1, &pin, &cch));
  EXPECT_FALSE(KsParsePhysicalConnection(good.data(), 9, &pin, &cch));
  EXPECT_FALSE(KsParsePhysicalConnection(nullptr, 100, &pin, &cch));

  Bytes emptyLink = PhysicalConnection(1, u"", true);
  ASSERT_TRUE(KsParsePhysicalConnection(emptyLink.data(), emptyLink.size(), &pin, &cch));
  EXPECT_EQ(0u, cch);
}

TEST(KsDevicePath, UpperCasedAndIdsParsed) {
  struct Case {
    const char* path;
    ULONG vendor;
    ULONG device;
  };
  const Case cases[] = {
      {"\\\\?\\usb#vid_abcd&pid_0123#x#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave", 0xABCD, 0x123},
      {"\\\\?\\hdaudio#func_01&ven_10ec&dev_1220&subsys_1", 0x10EC, 0x1220},
      {"\\\\?\\root#media#0000", 0, 0},
      {"\\\\?\\x#ven_zz&dev_", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    char field[MAX_PATH];
    ASSERT_TRUE(KsCopyDevicePath(field, c.path));
    EXPECT_EQ(std::string(c.path).size(), std::strlen(field));
    EXPECT_EQ(nullptr, std::strchr(field, 'v'));
    EXPECT_EQ(c.vendor, KsParseDevicePathId(field, "VEN_", "VID_"));
    EXPECT_EQ(c.device, KsParseDevicePathId(field, "DEV_", "PID_"));
  }
}

TEST(KsDevicePath, PathThatDoesNotFitIsRefused) {
  char field[MAX_PATH];
  std::string fits(259, 'a');
  ASSERT_TRUE(KsCopyDevicePath(field, fits.c_str()));
  EXPECT_EQ(std::string(259, 'A'), std::string(field));

  std::memset(field, 'x', sizeof(field));
  std::string tooLong(260, 'a');
  EXPECT_FALSE(KsCopyDevicePath(field, tooLong.c_str()));
  for (char ch : field) EXPECT_EQ('\0', ch);
}

struct Counted {
  static int alive;
  Counted() { ++alive; }
  ~Counted() { --alive; }
};
int Counted::alive = 0;

TEST(KsList, AppendsAtTheTailAndEmptiesFromTheHead) {
  {
    CKsList<Counted> owning(true);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(owning.Append(new Counted));
    EXPECT_EQ(3u, owning.Count());
    EXPECT_EQ(3, Counted::alive);
    EXPECT_EQ(owning.Head()->pNext->pNext, owning.Tail());
    EXPECT_EQ(owning.Tail()->pPrev->pPrev, owning.Head());
    EXPECT_EQ(nullptr, owning.At(3));
    Counted* first = owning.Head()->pData;
    EXPECT_EQ(first, owning.RemoveHead());
    delete first;
    EXPECT_EQ(2u, owning.Count());
  }
  EXPECT_EQ(0, Counted::alive);

  Counted a, b;
  {
    CKsList<Counted> borrowing(false);
    borrowing.Append(&a);
    borrowing.Append(&b);
    EXPECT_EQ(&b, borrowing.At(1));
  }
  EXPECT_EQ(2, Counted::alive);
}

}  // namespace
