// Hosts call IAsio through fixed virtual-table slots; these tests pin which
// method sits in which slot, as a host compiled elsewhere would reach it.
#include <gtest/gtest.h>

#include <cstring>

#include "asio/iasio.h"

namespace {

// Records the slot of the method a call reached.
class SlotProbe : public IAsio {
 public:
  int lastSlot = -1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return Hit(0, E_NOINTERFACE); }
  ULONG STDMETHODCALLTYPE AddRef() override { return Hit(1, 1u); }
  ULONG STDMETHODCALLTYPE Release() override { return Hit(2, 1u); }
  ASIOBool STDMETHODCALLTYPE Init(void*) override { return Hit(3, 0); }
  void STDMETHODCALLTYPE GetDriverName(char*) override { lastSlot = 4; }
  LONG STDMETHODCALLTYPE GetDriverVersion() override { return Hit(5, 0); }
  void STDMETHODCALLTYPE GetErrorMessage(char*) override { lastSlot = 6; }
  ASIOError STDMETHODCALLTYPE Start() override { return Hit(7, 0); }
  ASIOError STDMETHODCALLTYPE Stop() override { return Hit(8, 0); }
  ASIOError STDMETHODCALLTYPE GetChannels(LONG*, LONG*) override { return Hit(9, 0); }
  ASIOError STDMETHODCALLTYPE GetLatencies(LONG*, LONG*) override { return Hit(10, 0); }
  ASIOError STDMETHODCALLTYPE GetBufferSize(LONG*, LONG*, LONG*, LONG*) override { return Hit(11, 0); }
  ASIOError STDMETHODCALLTYPE CanSampleRate(ASIOSampleRate) override { return Hit(12, 0); }
  ASIOError STDMETHODCALLTYPE GetSampleRate(ASIOSampleRate*) override { return Hit(13, 0); }
  ASIOError STDMETHODCALLTYPE SetSampleRate(ASIOSampleRate) override { return Hit(14, 0); }
  ASIOError STDMETHODCALLTYPE GetClockSources(ASIOClockSource*, LONG*) override { return Hit(15, 0); }
  ASIOError STDMETHODCALLTYPE SetClockSource(LONG) override { return Hit(16, 0); }
  ASIOError STDMETHODCALLTYPE GetSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return Hit(17, 0); }
  ASIOError STDMETHODCALLTYPE GetChannelInfo(ASIOChannelInfo*) override { return Hit(18, 0); }
  ASIOError STDMETHODCALLTYPE CreateBuffers(ASIOBufferInfo*, LONG, LONG, ASIOCallbacks*) override { return Hit(19, 0); }
  ASIOError STDMETHODCALLTYPE DisposeBuffers() override { return Hit(20, 0); }
  ASIOError STDMETHODCALLTYPE ControlPanel() override { return Hit(21, 0); }
  ASIOError STDMETHODCALLTYPE Future(LONG, void*) override { return Hit(22, 0); }
  ASIOError STDMETHODCALLTYPE OutputReady() override { return Hit(23, 0); }

 private:
  template <typename R>
  R Hit(int slot, R result) {
    lastSlot = slot;
    return result;
  }
};

// Calls the method in `slot` the way a C host does: through the table, with
// the object as the first argument. Only for the methods without arguments.
int CallSlot(SlotProbe& probe, int slot) {
  IAsio* object = &probe;
  void** table = *reinterpret_cast<void***>(object);
  using NoArgs = LONG (*)(IAsio*);
  NoArgs fn;
  std::memcpy(&fn, &table[slot], sizeof fn);
  fn(object);
  return probe.lastSlot;
}

TEST(AsioInterface, MethodsWithoutArgumentsSitInTheirSlots) {
  SlotProbe probe;
  for (int slot : {5, 7, 8, 20, 21, 23}) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(slot, CallSlot(probe, slot));
  }
}

TEST(AsioInterface, InterfaceIdentity) {
  const IID expected = {0x9D41F6A2, 0x3C85, 0x4B17, {0xA0, 0xE9, 0x6E, 0x2B, 0x7C, 0x54, 0xD8, 0x13}};
  EXPECT_TRUE(IsEqualIID(expected, IID_IAsio));
}

TEST(AsioInterface, ResultCodes) {
  EXPECT_EQ(0, ASE_OK);
  EXPECT_EQ(0x3F4847A0, ASE_SUCCESS);
  EXPECT_EQ(-1000, ASE_NotPresent);
  EXPECT_EQ(-999, ASE_HWMalfunction);
  EXPECT_EQ(-998, ASE_InvalidParameter);
  EXPECT_EQ(-997, ASE_InvalidMode);
  EXPECT_EQ(-995, ASE_NoClock);
  EXPECT_EQ(-994, ASE_NoMemory);
}

// The initial time record of a driver, as a host reads it through the
// published field positions.
TEST(AsioInterface, TimeRecordFieldsLandAtPublishedOffsets) {
  ASIOTime t{};
  t.timeInfo.sampleRate = 48000.0;
  t.timeInfo.flags = kSampleRateValid | kSpeedValid;
  t.timeCode.flags = kTcOnspeed | kTcSpeedValid;
  t.timeInfo.samplePosition = {0x1, 0x2};
  unsigned char bytes[sizeof t];
  std::memcpy(bytes, &t, sizeof t);
  double rate;
  std::memcpy(&rate, bytes + 16 + 24, sizeof rate);
  ULONG infoFlags, codeFlags, posHi, posLo;
  std::memcpy(&infoFlags, bytes + 16 + 32, 4);
  std::memcpy(&codeFlags, bytes + 64 + 16, 4);
  std::memcpy(&posHi, bytes + 16 + 16, 4);
  std::memcpy(&posLo, bytes + 16 + 20, 4);
  EXPECT_EQ(48000.0, rate);
  EXPECT_EQ(0x0Cu, infoFlags);
  EXPECT_EQ(0x108u, codeFlags);
  EXPECT_EQ(1u, posHi);
  EXPECT_EQ(2u, posLo);
}

}  // namespace
