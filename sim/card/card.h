// The sound card of the running machine: its profile and its codec. The
// card's drivers (the HD Audio bus driver, the codec's kernel-streaming
// function driver, the bus component) all reach the hardware through it.
#pragma once

#include <memory>
#include <string>

#include "sim/card/codec.h"
#include "sim/card/profile.h"

namespace sim::card {

class Card {
 public:
  explicit Card(Profile profile);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // The card of the running machine, or null when it has none.
  static Card* Current();

  const Profile& profile() const { return profile_; }
  Codec& codec() { return codec_; }

 private:
  Profile profile_;
  Codec codec_;
};

// Loads a shipped profile by file name ("default.json") from the profile folder.
Profile LoadShippedProfile(const std::string& file_name);

}  // namespace sim::card
