// ChannelParam::Validate: what it rejects, with which message, in which order.
#include "channel/OrvChannelRenderer_Param.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/OrvException.h"

namespace {

using orv::ChannelParam;

// The message Validate throws, or "" when it accepts.
std::string Rejection(const ChannelParam& p) {
  try {
    p.Validate();
  } catch (const orv::Exception& e) {
    return e.what();
  }
  return "";
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ChannelParam, DefaultsAreValid) { EXPECT_EQ(Rejection(ChannelParam{}), ""); }

TEST(ChannelParam, EachCheckHasItsMessage) {
  ChannelParam p;
  p.speed = 0.0;
  EXPECT_EQ(Rejection(p), "Speed is not positive.");
  p.speed = -1.0;
  EXPECT_EQ(Rejection(p), "Speed is not positive.");
  p.speed = kNaN;
  EXPECT_EQ(Rejection(p), "NaN speed.");

  p = ChannelParam{};
  p.position = kNaN;
  EXPECT_EQ(Rejection(p), "NaN position.");

  p = ChannelParam{};
  p.gain = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(Rejection(p), "NaN gain.");

  p = ChannelParam{};
  p.isLooped = true;
  p.loopStart = 10;
  p.loopEnd = 10;
  EXPECT_EQ(Rejection(p), "Invalid loop position.");
  p.loopEnd = 9;
  EXPECT_EQ(Rejection(p), "Invalid loop position.");
  p.loopEnd = 11;
  EXPECT_EQ(Rejection(p), "");
  // Loop bounds only matter for looped voices.
  p.isLooped = false;
  p.loopEnd = -5;
  EXPECT_EQ(Rejection(p), "");
}

TEST(ChannelParam, FirstFailedCheckWins) {
  ChannelParam p;
  p.speed = -1.0;
  p.position = kNaN;
  p.gain = std::numeric_limits<float>::quiet_NaN();
  p.isLooped = true;
  p.loopStart = 5;
  p.loopEnd = 0;
  EXPECT_EQ(Rejection(p), "Speed is not positive.");
  p.speed = 1.0;
  EXPECT_EQ(Rejection(p), "NaN position.");
  p.position = 0.0;
  EXPECT_EQ(Rejection(p), "NaN gain.");
  p.gain = 1.0f;
  EXPECT_EQ(Rejection(p), "Invalid loop position.");
}

TEST(ChannelParam, WhatIsNotChecked) {
  ChannelParam p;
  p.reverbGain = std::numeric_limits<float>::quiet_NaN();
  p.lowPassCoef = std::numeric_limits<float>::quiet_NaN();
  p.referenceDistance = 0.0f;
  p.sourcePosition = {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f};
  EXPECT_EQ(Rejection(p), "");
  // Infinite speed and position pass; the renderer ends such a voice.
  p.speed = kInf;
  p.position = -kInf;
  EXPECT_EQ(Rejection(p), "");
}

}  // namespace
