// Template expansion: every date and time format, the counter, the telemetry
// fields and distances, the network address, and the odd templates.
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "osd/osd_tokens.h"
#include "osd_test_frames.h"
#include "platform/netif.h"
#include "platform/wallclock.h"

namespace {

ParamBlock block;

std::string expand(const char *tmpl, int date_format, int time_format, const struct timeval &at, int max = 179) {
  osd_test_setup(&block, 640, 480, OSD_LAYOUT_NV12, 1, 0, 0, 0, tmpl);
  block.video[0].osd.date_format = (uint8_t)date_format;
  block.video[0].osd.time_format = (uint8_t)time_format;
  osdSetConfig(0, &block.video[0].osd);
  char out[200];
  memset(out, 'X', sizeof out);
  int n = osd_format_text_at(0, tmpl, out, max, &at);
  EXPECT_EQ(n, (int)strlen(out));
  return out;
}

TEST(OsdTokenFormat, DateFormats) {
  const struct timeval dec31 = osd_test_local_moment(2024, 12, 31, 10, 0, 0, 0);
  const struct timeval mar5 = osd_test_local_moment(2009, 3, 5, 10, 0, 0, 0);
  const struct {
    int format;
    const char *dec31, *mar5;
  } rows[] = {
      {0, "12-31-2024", "03-05-2009"},  {1, "31-12-2024", "05-03-2009"},  {2, "12-31-24", "03-05-09"},
      {3, "31-12-24", "05-03-09"},      {4, "Dec-31-2024", "Mar-05-2009"}, {5, "31-Dec-2024", "05-Mar-2009"},
      {6, "Dec-31-24", "Mar-05-09"},    {7, "31-Dec-24", "05-Mar-09"},     {8, "Dec 31, 2024", "Mar 5, 2009"},
      {9, "31Dec2024", "05Mar2009"},    {10, "Dec 31, 24", "Mar 5, 09"},   {11, "31Dec24", "05Mar09"},
      {12, "20241231", "20090305"},     {13, "2024Dec31", "2009Mar05"},    {14, "241231", "090305"},
      {15, "24Dec31", "09Mar05"},       {16, "2024-12-31", "2009-03-05"},  {17, "2024-Dec-31", "2009-Mar-05"},
      {18, "24-12-31", "09-03-05"},     {19, "24-Dec-31", "09-Mar-05"},    {20, "2024", "2009"},
      {63, "24", "09"},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(expand("^d", r.format, 0, dec31), r.dec31) << "DateFormat " << r.format;
    EXPECT_EQ(expand("^d", r.format, 0, mar5), r.mar5) << "DateFormat " << r.format;
  }
}

TEST(OsdTokenFormat, TimeFormatsAroundMidnightAndNoon) {
  const struct timeval early = osd_test_local_moment(2024, 6, 1, 0, 5, 7, 123456);
  const struct timeval late = osd_test_local_moment(2024, 6, 1, 13, 5, 7, 987654);
  const struct {
    int format;
    const char *early, *late;
  } rows[] = {
      {0, "00:05:07", "13:05:07"},     {1, "00:05:07.1", "13:05:07.9"},   {2, "00:05:07.12", "13:05:07.98"},
      {3, "00:05:07.123", "13:05:07.987"}, {4, "00:05", "13:05"},          {5, "12:05AM", " 1:05PM"},
      {6, "12:05a", " 1:05p"},         {7, "", ""},                         {200, "", ""},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(expand("^t", 0, r.format, early), r.early) << "TimeFormat " << r.format;
    EXPECT_EQ(expand("^t", 0, r.format, late), r.late) << "TimeFormat " << r.format;
  }
  EXPECT_EQ(expand("12h: ^t", 0, 5, osd_test_local_moment(2024, 6, 1, 12, 0, 0, 0)), "12h: 12:00PM");
  EXPECT_EQ(expand("^d ^t", 8, 0, early), "Jun 1, 2024 00:05:07");
}

TEST(OsdTokenFormat, PlainTokensAndOddTemplates) {
  const struct timeval t = osd_test_local_moment(2024, 1, 2, 3, 4, 5, 0);
  const struct {
    const char *tmpl, *want;
  } rows[] = {
      {"Cam A", "Cam A"}, {"a^nb", "a\nb"},   {"^^", "^"},     {"x^^c", "x^c"}, {"^x^Z", "xZ"},
      {"end^", "end"},    {"^", ""},          {"", ""},        {"a^ b", "a b"}, {"^h^a^s", ""},
  };
  for (const auto &r : rows) EXPECT_EQ(expand(r.tmpl, 0, 0, t), r.want) << "template '" << r.tmpl << "'";
}

TEST(OsdTokenFormat, CounterShowsFramesCompositedBefore) {
  osd_test_setup(&block, 64, 32, OSD_LAYOUT_NV12, 1, 7, 0, 0, "Cam ^c");
  GuardedFrame fr(osd_test_frame_size(64, 32, OSD_LAYOUT_NV12));
  for (int i = 0; i < 42; i++) osdComposite(0, fr.frame(), 0);
  EXPECT_STREQ(osd_channel(0)->text, "Cam 0000041");
  EXPECT_EQ(osd_channel(0)->frame_count, 42u);
  osdSetFrameCounter(0, 4000000000u);
  osdComposite(0, fr.frame(), 0);
  EXPECT_STREQ(osd_channel(0)->text, "Cam 4000000000");
}

TEST(OsdTokenFormat, TelemetryFieldsAndDistances) {
  const struct timeval t = osd_test_local_moment(2024, 1, 2, 3, 4, 5, 0);
  OverlayFields saved = overlay_fields;
  memset(&overlay_fields, 0, sizeof overlay_fields);
  // Writers may fill a field to its last byte: it is read to its size only.
  memcpy(overlay_fields.l, "LLLLLLLLLLLLLLLLL", 17);
  strcpy(overlay_fields.p, "P1");
  strcpy(overlay_fields.u, "U");
  strcpy(overlay_fields.m, "M");
  overlay_fields.scale[0] = 1.0f;
  overlay_fields.count[0] = 1234;
  overlay_fields.scale[1] = 0.0328084f;
  overlay_fields.count[1] = 1000;
  overlay_fields.scale[2] = 0.5f;
  overlay_fields.count[2] = -3;
  overlay_fields.scale[3] = 1.0f;
  overlay_fields.count[3] = -7;
  overlay_units[1] = " ft";
  overlay_units[2] = " m";
  EXPECT_EQ(expand("^l|^p|^u|^m", 0, 0, t), "LLLLLLLLLLLLLLLLL|P1|U|M");
  EXPECT_EQ(expand("^e", 0, 0, t), "1234");
  EXPECT_EQ(expand("^f", 0, 0, t), "   32.81 ft");
  EXPECT_EQ(expand("^q", 0, 0, t), "    -1.5 m");
  EXPECT_EQ(expand("^w", 0, 0, t), "-7");
  overlay_units[1] = nullptr;
  EXPECT_EQ(expand("^f", 0, 0, t), "   32.81");
  overlay_units[2] = nullptr;
  overlay_fields = saved;
}

TEST(OsdTokenFormat, OutputIsCutAtTheLimit) {
  const struct timeval t = osd_test_local_moment(2024, 1, 2, 3, 4, 5, 0);
  std::string tmpl(150, 'a');
  tmpl += "^d^t^d";  // 150 + 10 + 8 + 10 characters = 178, still fits
  EXPECT_EQ(expand(tmpl.c_str(), 0, 0, t).size(), 178u);
  tmpl = std::string(155, 'b') + "^d^d^d";  // 185 characters: cut at 179
  std::string out = expand(tmpl.c_str(), 0, 0, t);
  EXPECT_EQ(out, std::string(155, 'b') + "01-02-202401-02-202401-0");
  EXPECT_EQ(expand("abcdef^d", 0, 0, t, 8), "abcdef01");
  EXPECT_EQ(expand("abc", 0, 0, t, 0), "");
}

// A message of 160 characters without a NUL is read no further.
TEST(OsdTokenFormat, FullLengthMessageIsBounded) {
  osd_test_setup(&block, 2000, 64, OSD_LAYOUT_NV12, 1, 0, 0, 0);
  memset(block.video[0].osd.message, 'q', sizeof block.video[0].osd.message);
  block.video[0].osd.x = 0x51515151;  // what follows the message in the block
  osdSetConfig(0, &block.video[0].osd);
  GuardedFrame fr(osd_test_frame_size(2000, 64, OSD_LAYOUT_NV12));
  osdComposite(0, fr.frame(), 0);
  EXPECT_EQ(std::string(osd_channel(0)->text), std::string(160, 'q'));
}

TEST(OsdTokenFormat, NetworkAddressComesFromTheConfiguredInterface) {
  char lo[32];
  if (netif_ipv4_text("lo", lo, sizeof lo) != 0) GTEST_SKIP() << "no IPv4 address on lo";
  setenv("M7391_IF_wlan0", "lo", 1);
  const struct timeval t = osd_test_local_moment(2024, 1, 2, 3, 4, 5, 0);
  EXPECT_EQ(expand("ip ^i", 0, 0, t), std::string("ip ") + lo);
  unsetenv("M7391_IF_wlan0");
}

// Setting the wall clock moves the date and time tokens, not the host clock.
TEST(OsdTokenFormat, WallClockOffsetDrivesTheTokens) {
  struct timeval before;
  wallclock_now(&before);
  struct timeval set = osd_test_local_moment(2031, 7, 4, 21, 30, 15, 0);
  ASSERT_EQ(wallclock_set(&set), 0);
  osd_test_setup(&block, 640, 480, OSD_LAYOUT_NV12, 1, 0, 0, 0);
  block.video[0].osd.date_format = 12;
  block.video[0].osd.time_format = 4;
  osdSetConfig(0, &block.video[0].osd);
  char out[180];
  osdFormatText(0, "^d ^t", out, 179);
  EXPECT_EQ(std::string(out), "20310704 21:30");
  EXPECT_LT(std::labs((long)(time(nullptr) - before.tv_sec)), 60L) << "the host clock moved";
  struct timeval bad = {0, 1000000};
  EXPECT_EQ(wallclock_set(&bad), -1);
  struct timeval now;
  gettimeofday(&now, nullptr);
  ASSERT_EQ(wallclock_set(&now), 0);
}

}  // namespace
