// setMixerVolume on the codec's controls (output routing and volume, input
// selection by board model, AGC and mute), its retry after a failed open, and
// the raw mixer form: page within its buffer, fields applied one channel at a
// time, only when they change, numbers only.
#include <gtest/gtest.h>
#include <string>

#include "media/mixer.h"
#include "media/stream_test_support.h"
#include "platform/sim/sim_control.h"

namespace {

long vol(const char *elem, int dir, int ch) {
  long v = -1;
  EXPECT_EQ(sim_mixer_get_volume(elem, dir, ch, &v), 0) << elem;
  return v;
}

int sw(const char *elem, int dir, int ch) {
  int v = -1;
  EXPECT_EQ(sim_mixer_get_switch(elem, dir, ch, &v), 0) << elem;
  return v;
}

unsigned item(const char *elem) {
  unsigned v = 99;
  EXPECT_EQ(sim_mixer_get_enum(elem, 0, &v), 0) << elem;
  return v;
}

SoundAttrs attrs(int mode, int input, int left, int right) {
  SoundAttrs a = {48000, 2, left, right, mode, input, 1024};
  return a;
}

}  // namespace

TEST(MixerVolume, OutputRoutingAndVolumes) {
  audio_model = 7391;
  SoundAttrs a = attrs(Sound_Mode_OUTPUT, Sound_Input_LINE, 50, 100);
  ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
  EXPECT_EQ(vol("PCM", Mixer_PLAYBACK, 0), 63);
  EXPECT_EQ(vol("PCM", Mixer_PLAYBACK, 1), 127);
  EXPECT_EQ(vol("Line DAC", Mixer_PLAYBACK, 0), 118);
  EXPECT_EQ(vol("Line DAC", Mixer_PLAYBACK, 1), 118);
  // The routing the first use sets: line out on, headphones off, no crossing.
  EXPECT_EQ(sw("HP_Pwr", Mixer_PLAYBACK, 1), 0);
  EXPECT_EQ(sw("Mono_Pwr", Mixer_PLAYBACK, 0), 0);
  EXPECT_EQ(sw("Line_Pwr", Mixer_PLAYBACK, 1), 1);
  EXPECT_EQ(sw("Left Line Mixer DACL1", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Left Line Mixer DACR1", Mixer_PLAYBACK, 0), 0);
  EXPECT_EQ(sw("Right Line Mixer PGAL Bypass", Mixer_PLAYBACK, 0), 0);
  EXPECT_EQ(sw("Left HPCOM Mixer DACL1", Mixer_PLAYBACK, 0), 0);
}

TEST(MixerVolume, LineInputWithAgcAndRightMute) {
  audio_model = 7391;
  SoundAttrs a = attrs(Sound_Mode_INPUT, Sound_Input_LINE, 90, 45);
  log_take();
  ASSERT_EQ(setMixerVolume(&a, 3, 2), 0);
  EXPECT_NE(log_take().find("setMixerVolume: xx71/xx77/7391 audio mode LINE mute=2 agc=3 90 45"),
            std::string::npos);
  EXPECT_EQ(sw("AGC", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("AGC", Mixer_PLAYBACK, 1), 1);
  EXPECT_EQ(vol("AGC", Mixer_PLAYBACK, 1), 6);   // 90 / 15
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 0), 90);
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 1), 45);
  EXPECT_EQ(sw("PGA", Mixer_CAPTURE, 0), 1);
  EXPECT_EQ(sw("PGA", Mixer_CAPTURE, 1), 0);
  EXPECT_EQ(item("Left Line1L Mux"), 0u);
  EXPECT_EQ(sw("Left PGA Mixer Mic3L", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Right PGA Mixer Mic3R", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Left PGA Mixer Line1L", Mixer_PLAYBACK, 0), 0);
  EXPECT_EQ(sw("Right PGA Mixer Line2R", Mixer_PLAYBACK, 0), 0);

  a.soundInput = Sound_Input_MIC;
  ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
  EXPECT_EQ(item("Left Line1L Mux"), 1u);
  EXPECT_EQ(item("Right Line1L Mux"), 1u);
  EXPECT_EQ(item("Left Line1R Mux"), 0u);
  EXPECT_EQ(sw("Left PGA Mixer Line1L", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Right PGA Mixer Line1L", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Left PGA Mixer Mic3L", Mixer_PLAYBACK, 0), 0);
  EXPECT_EQ(sw("AGC", Mixer_PLAYBACK, 0), 0);
  EXPECT_EQ(sw("PGA", Mixer_CAPTURE, 1), 1);
}

TEST(MixerVolume, OtherModelsUseTheGenericRoutingAndAgcBitsDisablePaths) {
  audio_model = 6459;
  SoundAttrs a = attrs(Sound_Mode_INPUT, Sound_Input_MIC, 60, 60);
  log_take();
  ASSERT_EQ(setMixerVolume(&a, 4, 0), 0);   // bit 2: no MIC path
  std::string log = log_take();
  EXPECT_NE(log.find("setMixerVolume: UNKNOWN AudioModel 6459"), std::string::npos);
  EXPECT_NE(log.find("6459/xx73/xx74 audio mode NONE"), std::string::npos);
  EXPECT_EQ(sw("Left PGA Mixer Mic3L", Mixer_PLAYBACK, 0), 0);
  ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
  EXPECT_EQ(sw("Left PGA Mixer Mic3L", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Right PGA Mixer Mic3R", Mixer_PLAYBACK, 0), 1);
  EXPECT_EQ(sw("Right PGA Mixer Line1R", Mixer_PLAYBACK, 0), 0);
  audio_model = 6275;   // no codec set-up at all
  a.leftGain = 7;
  ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 0), 60);
  audio_model = 7391;
}

TEST(MixerForm, PageListsEveryControlWithinItsBuffer) {
  static char page[0x10000];
  int n = mixer_form_print(page, sizeof page);
  ASSERT_GT(n, 0);
  EXPECT_EQ((size_t)n, strlen(page));
  std::string s(page);
  EXPECT_EQ(s.rfind("<html><style>table.ref {", 0), 0u);
  EXPECT_NE(s.find("<tr><td>Capture Volume</td><td>PGA\n</td><td>vol0<input type='text' "
                   "name='PGA_0_vol' value='"),
            std::string::npos);
  EXPECT_NE(s.find("<td>sw1<input type='text' name='PGA_1_sw' value='"), std::string::npos);
  EXPECT_NE(s.find("<tr><td>Playback Volume/Switch</td><td>PCM\n"), std::string::npos);
  EXPECT_NE(s.find("<tr><td>Other mixer</td><td>Left Line1L Mux\n</td></tr>\n"), std::string::npos);
  const std::string end = "</table><input type='submit'></form></body></html>\n";
  EXPECT_EQ(s.substr(s.size() - end.size()), end);

  // A small buffer: cut, terminated, nothing written past it.
  char small[100];
  memset(small, 'X', sizeof small);
  n = mixer_form_print(small, 64);
  EXPECT_EQ(n, 63);
  EXPECT_EQ(small[63], 0);
  EXPECT_EQ(small[64], 'X');

  // No mixer: nothing written.
  sim_mixer_fail(0, 1);
  EXPECT_EQ(mixer_form_print(page, sizeof page), 0);
  EXPECT_EQ(page[0], 0);
}

TEST(MixerForm, FieldsApplyOneChannelOnlyWhenChangedAndNumbersOnly) {
  audio_model = 7391;
  SoundAttrs a = attrs(Sound_Mode_INPUT, Sound_Input_LINE, 20, 20);
  ASSERT_EQ(setMixerVolume(&a, 0, 0), 0);
  log_take();
  mixer_form_apply("PGA_0_vol", "40", 2);
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 0), 40);
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 1), 20);
  EXPECT_NE(log_take().find("setting PGA_0_vol to 40"), std::string::npos);
  mixer_form_apply("PGA_0_vol", "40", 2);
  EXPECT_EQ(log_take().find("setting"), std::string::npos);

  // The length given bounds the value: "41" of "4123".
  mixer_form_apply("PGA_1_vol", "4123", 2);
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 1), 41);
  for (const char *bad : {"", "x", "12x", " ", "99999999999999999999999999"}) {
    mixer_form_apply("PGA_1_vol", bad, strlen(bad));
    EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 1), 41) << bad;
  }
  mixer_form_apply("PGA_1_sw", "0", 1);
  EXPECT_EQ(sw("PGA", Mixer_CAPTURE, 1), 0);
  mixer_form_apply("HP_Pwr_1_sw", "1", 1);
  EXPECT_EQ(sw("HP_Pwr", Mixer_PLAYBACK, 1), 1);
  mixer_form_apply("HP_Pwr_1_sw", "0", 1);
  mixer_form_apply("PGA_5_vol", "3", 1);    // no such channel
  mixer_form_apply("Nothing_0_vol", "3", 1);
  mixer_form_apply("PGA_0_vol", "-5", 2);   // clamped by the control
  EXPECT_EQ(vol("PGA", Mixer_CAPTURE, 0), 0);
}

TEST(MixerForm, AFailedOpenIsTriedAgainOnTheNextPage) {
  sim_mixer_fail(2, 1);
  static char page[0x10000];
  EXPECT_EQ(mixer_form_print(page, sizeof page), 0);
  EXPECT_GT(mixer_form_print(page, sizeof page), 0);
}
