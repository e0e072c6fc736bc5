// The table describes the block: every stored row lies inside it, no two rows
// share a byte, and the compiled-in defaults pass the table's own checks.
#include <cstring>
#include <strings.h>
#include <vector>

#include "core/param_flash.h"
#include "core/param_types.h"
#include "param_test_util.h"

TEST(ParamTableLayout, RowCountNamesAndTerminator) {
  int n = 0;
  while (paramTable[n].name) n++;
  EXPECT_EQ(n, 313);
  EXPECT_EQ(n, PARAM_ROW_COUNT);
  EXPECT_EQ(paramTable[313].name, nullptr);
  // Names are unique ignoring case, except the read and write "Timestamp".
  int timestamps = 0;
  for (int i = 0; i < n; i++) {
    if (strcmp(paramTable[i].name, "Timestamp") == 0) {
      timestamps++;
      continue;
    }
    for (int j = i + 1; j < n; j++)
      EXPECT_NE(strcasecmp(paramTable[i].name, paramTable[j].name), 0) << paramTable[i].name;
  }
  EXPECT_EQ(timestamps, 2);
  int first = param_index("timestamp");
  ASSERT_GE(first, 0);
  EXPECT_NE(paramTable[first].parse, nullptr);
  EXPECT_EQ(paramTable[first].format, nullptr);
  EXPECT_NE(paramTable[first + 1].format, nullptr);
  EXPECT_STREQ(param_name_by_index(0), "GpioAlarmEnabled");
  EXPECT_STREQ(param_name_by_index(312), "CustomZipSize");
  EXPECT_EQ(param_name_by_index(313), nullptr);
}

TEST(ParamTableLayout, StoredRowsInsideTheBlockWithoutOverlap) {
  std::vector<const char *> owner(PARAM_BLOCK_SIZE, nullptr);
  for (int i = 0; paramTable[i].name; i++) {
    const ParamDesc &d = paramTable[i];
    SCOPED_TRACE(d.name);
    if (d.type == PARAM_VIRTUAL) {
      EXPECT_EQ(d.size, 0u);
      EXPECT_TRUE(d.format || d.parse);
      continue;
    }
    ASSERT_GT(d.size, 0u);
    ASSERT_GE(d.offset, 12u) << "the header is not a parameter";
    ASSERT_LE(d.offset + d.size, PARAM_BLOCK_SIZE);
    if (d.type == PARAM_INTEGER) {
      EXPECT_TRUE(d.size == 1 || d.size == 2 || d.size == 4);
      EXPECT_GT(d.step, 0);
    }
    if (d.type == PARAM_FLOAT) {
      EXPECT_EQ(d.size, 4u);
    }
    if (d.type == PARAM_CONVERTED) {
      EXPECT_TRUE(d.format && d.parse);
    }
    EXPECT_LT(uint32_t(d.group), 32u);
    EXPECT_LE(d.read_level, PERM_DEMO);
    EXPECT_LE(d.write_level, PERM_DEMO);
    for (uint32_t b = d.offset; b < d.offset + d.size; b++) {
      EXPECT_EQ(owner[b], nullptr) << "byte " << b << " also belongs to " << owner[b];
      owner[b] = d.name;
    }
  }
  // Spot checks against the documented layout.
  EXPECT_EQ(param_find("Capture_ForceInputMode2")->offset, 0x8B7u);
  EXPECT_EQ(param_find("User[9].Permission")->offset, 1236u);
  EXPECT_EQ(param_find("Encoder[1].ScaleConversionFactor")->offset, 1732u);
  EXPECT_EQ(param_find("Video[1].OSD.Message")->offset, 368u);
  EXPECT_EQ(param_find("Video[1].OSD.Message")->size, 160u);
  EXPECT_EQ(param_find("Video[1].Resolution")->offset, 2u) << "a virtual row's index";
}

TEST(ParamTableLayout, DefaultsHoldTheDocumentedValues) {
  const ParamBlock *d = param_default_block();
  EXPECT_EQ(d->size, PARAM_BLOCK_SIZE);
  EXPECT_EQ(d->crc, 0u);
  EXPECT_EQ(d->counter, 0u);
  EXPECT_EQ(d->wifi_enable, 1);
  EXPECT_STREQ(d->wifi_ssid, "7391");
  EXPECT_EQ(d->video[0].bit_rate, 5000000u);
  EXPECT_EQ(d->video[1].stream_mode, 3);
  EXPECT_EQ(d->rtsp_port, 554);
  EXPECT_EQ(d->udp[1].port, 1235);
  EXPECT_EQ(d->net[0].mask[1], 255);
  EXPECT_EQ(d->net[0].mask[2], 0);
  EXPECT_EQ(d->keys_map[5], 13);
  EXPECT_STREQ(d->encoder[1].scale_label[1], "feet");
  EXPECT_FLOAT_EQ(d->encoder[0].scale_conversion_factor, 3.2808399200439453f);
}

struct ParamDefaultsValid : ParamTest {};

// Validating the defaults must not change a byte apart from what validation
// fills in on purpose (recording directory, host name).
TEST_F(ParamDefaultsValid, ValidationKeepsTheDefaults) {
  param_validate();
  ParamBlock expect = *param_default_block();
  snprintf(expect.recording.directory, sizeof expect.recording.directory, "DCIM");
  snprintf(expect.hostname, sizeof expect.hostname, "m7391-123456");
  EXPECT_EQ(memcmp(block(), &expect, sizeof expect), 0);
  EXPECT_EQ(param_log_text().find("reset to default"), std::string::npos);
}
