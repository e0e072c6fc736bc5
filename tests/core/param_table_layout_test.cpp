// The table describes the block: every stored row lies inside it, no two rows
// share a byte, and the compiled-in defaults pass the table's own checks.
#include <cfloat>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/param_flash.h"
#include "core/param_types.h"
#include "param_test_util.h"

// Names and order are checked against the documented table below. Of the two
// "Timestamp" rows, the one a lookup by name finds parses, the next formats.
TEST(ParamTableLayout, TerminatorAndTheTwoTimestampRows) {
  EXPECT_EQ(paramTable[PARAM_ROW_COUNT].name, nullptr);
  EXPECT_EQ(param_name_by_index(PARAM_ROW_COUNT), nullptr);
  int first = param_index("timestamp");
  ASSERT_GE(first, 0);
  EXPECT_STREQ(paramTable[first + 1].name, "Timestamp");
  EXPECT_NE(paramTable[first].parse, nullptr);
  EXPECT_EQ(paramTable[first].format, nullptr);
  EXPECT_NE(paramTable[first + 1].format, nullptr);
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
}

TEST(ParamTableLayout, HeaderAndTheByteWithoutARow) {
  const ParamBlock *d = param_default_block();
  EXPECT_EQ(d->size, PARAM_BLOCK_SIZE);
  EXPECT_EQ(d->crc, 0u);
  EXPECT_EQ(d->counter, 0u);
  EXPECT_EQ(d->wifi_enable, 1);
}

namespace {

// One documented row, expanded from its family line in param_rows.txt.
struct DocRow {
  std::string name, type, range, deflt;
  int group = 0, size = 0, read = 0, write = 0;
  uint32_t offset = 0;
};

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> split(const std::string &s, const std::string &sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (size_t at; (at = s.find(sep, pos)) != std::string::npos; pos = at + sep.size())
    out.push_back(trim(s.substr(pos, at - pos)));
  out.push_back(trim(s.substr(pos)));
  return out;
}

// The k-th of a list column, or the single value for every row.
std::string nth(const std::string &col, int k, const std::string &sep = ",") {
  std::vector<std::string> v = split(col, sep);
  return v.size() == 1 ? v[0] : v.at(size_t(k));
}

std::vector<DocRow> documented_rows(void) {
  std::ifstream in(M7391_SOURCE_DIR "/tests/core/param_rows.txt");
  std::vector<DocRow> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != '|') continue;
    std::vector<std::string> c = split(line.substr(1, line.size() - 2), "|");
    if (c.size() != 9) ADD_FAILURE() << "bad line: " << line;
    if (c.size() != 9) continue;
    int count = std::stoi(c[1]);
    std::string range = c[4], values = range, step;
    if (range != "-") {
      values = trim(range.substr(0, range.find(" / ")));
      step = trim(range.substr(range.find(" / ") + 3));
    }
    for (int k = 0; k < count; k++) {
      DocRow r;
      r.name = c[0].substr(0, c[0].find(" ("));  // "Timestamp (read row)"
      size_t at = r.name.find("[n]");
      bool twice = at != std::string::npos && r.name.find("[n]", at + 1) != std::string::npos;
      if (at != std::string::npos) r.name.replace(at, 3, "[" + std::to_string(twice ? k / 2 : k) + "]");
      if (twice) r.name.replace(r.name.find("[n]"), 3, "[" + std::to_string(k % 2) + "]");
      r.type = c[2];
      r.group = std::stoi(nth(c[3], k));
      r.range = range == "-" ? "-" : nth(values, k) + " / " + step;
      r.size = std::stoi(c[5]);
      r.read = std::stoi(c[6].substr(0, c[6].find('/')));
      r.write = std::stoi(c[6].substr(c[6].find('/') + 1));
      r.offset = uint32_t(std::stoul(nth(c[7], k), nullptr, 0));
      r.deflt = nth(c[8], k);
      rows.push_back(r);
    }
  }
  return rows;
}

// A range bound; the float rows' bounds are held as the float's bits.
int32_t range_value(const std::string &text) {
  float f = text == "FLT_MAX" ? FLT_MAX : -FLT_MAX;
  int32_t bits;
  memcpy(&bits, &f, 4);
  return text == "FLT_MAX" || text == "-FLT_MAX" ? bits : int32_t(std::stoll(text));
}

struct ParamTableRows : ParamTest {};

}  // namespace

// Every row, in order, against the documented table: kind, group, range,
// size, levels, place in the block and default value.
TEST_F(ParamTableRows, EveryRowAsDocumented) {
  std::vector<DocRow> doc = documented_rows();
  ASSERT_EQ(doc.size(), size_t(PARAM_ROW_COUNT));
  const char *kinds[] = {"string", "integer", "converted", "virtual", "float"};
  for (int i = 0; i < PARAM_ROW_COUNT; i++) {
    const ParamDesc &d = paramTable[i];
    const DocRow &r = doc[size_t(i)];
    SCOPED_TRACE(r.name);
    ASSERT_STREQ(d.name, r.name.c_str()) << "row " << i;
    EXPECT_EQ(kinds[d.type], r.type);
    EXPECT_EQ(int(d.group), r.group);
    if (r.range == "-") {
      EXPECT_EQ(d.min, 0);
      EXPECT_EQ(d.max, 0);
      EXPECT_EQ(d.step, 0);
    } else {
      std::string values = r.range.substr(0, r.range.find(" / "));
      size_t dots = values.find("..");
      EXPECT_EQ(d.min, range_value(values.substr(0, dots)));
      EXPECT_EQ(d.max, range_value(values.substr(dots + 2)));
      std::string step = r.range.substr(r.range.find(" / ") + 3);
      EXPECT_EQ(d.step, step == "smallest step" ? 1 : std::stoi(step));
    }
    EXPECT_EQ(int(d.size), r.size);
    EXPECT_EQ(int(d.read_level), r.read);
    EXPECT_EQ(int(d.write_level), r.write);
    EXPECT_EQ(d.offset, r.offset);
    if (d.type == PARAM_VIRTUAL) continue;
    std::string want = r.deflt == "empty" ? "" : r.deflt;
    if (want.size() >= 2 && want.front() == '"') want = want.substr(1, want.size() - 2);
    const uint8_t *field = reinterpret_cast<const uint8_t *>(param_default_block()) + d.offset;
    if (d.type == PARAM_FLOAT) {
      float f;
      memcpy(&f, field, 4);
      EXPECT_FLOAT_EQ(f, std::stof(want));
    } else if (d.type == PARAM_CONVERTED && want.find_first_of(".:") == std::string::npos) {
      EXPECT_EQ(int(field[0]), std::stoi(want)) << "a code stored as is";
    } else {
      char text[256];
      ASSERT_GE(param_get_by_index(i, text, sizeof text), 0);
      EXPECT_EQ(text, want);
    }
  }
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
