// Where the shipped card profiles live, for tests.
#pragma once

#include <filesystem>
#include <string>

#include "sim/card/profile.h"

namespace card_test {

inline std::filesystem::path ProfileDir() { return ORA_CARD_PROFILE_DIR; }

inline sim::card::Profile Shipped(const std::string& name) {
  return sim::card::LoadProfile(ProfileDir() / (name + ".json"));
}

// A profile written inline, with "extends" resolved against the shipped ones.
inline sim::card::Profile Inline(const std::string& json) {
  return sim::card::ParseProfile(json, ProfileDir(), "<inline>");
}

}  // namespace card_test
