#include "sim/card/card.h"

#include <cstdio>
#include <cstdlib>

namespace sim::card {

namespace {
Card* g_current = nullptr;
}

Card::Card(Profile profile) : profile_(std::move(profile)), codec_(profile_.codec) {
  if (g_current) {
    std::fprintf(stderr, "sim: a second Card was created while one exists\n");
    std::abort();
  }
  g_current = this;
}

Card::~Card() { g_current = nullptr; }

Card* Card::Current() { return g_current; }

Profile LoadShippedProfile(const std::string& file_name) {
  return LoadProfile(std::string(ORA_CARD_PROFILE_DIR) + "/" + file_name);
}

}  // namespace sim::card
