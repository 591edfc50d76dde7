// The pure rules of the disease-record correction: the neighbourhood of an ICD code,
// the bounds as typed, and the decision per pair of diagnoses.
#include <gtest/gtest.h>

#include "tasks/Task_DiseaseCases.h"

namespace {

TEST(DiseaseNeighbourhood, CodesWithANumber) {
  struct Case {
    const char* code;
    int interval;
    const char* low;
    const char* high;
  };
  const Case cases[] = {
      {"J06", 3, "J03", "J09.9"},   {"J45.1", 3, "J42", "J48.9"}, {"A02", 5, "A00", "A07.9"},
      {"Z97", 5, "Z92", "Z99.9"},   {"J06", 0, "J06", "J06.9"},   {"J03", 3, "J00", "J06.9"},
      {"J02", 3, "J00", "J05.9"},   {"K96", 3, "K93", "K99.9"},   {"K99", 0, "K99", "K99.9"},
      {"B10", 100, "B00", "B99.9"}, {"j06", 1, "j05", "j07.9"},   {"J06 ", 2, "J04", "J08.9"},
      // A negative width gives a range with the low end above the high one: nothing.
      {"J06", -3, "J09", "J03.9"},  {"J01", -5, "J06", "J00.9"},
  };
  for (const Case& c : cases) {
    tasks::MkbRange r = tasks::MkbNeighbourhood(c.code, c.interval);
    EXPECT_EQ(r.low, c.low) << c.code << " " << c.interval;
    EXPECT_EQ(r.high, c.high) << c.code << " " << c.interval;
  }
}

TEST(DiseaseNeighbourhood, CodesWithoutANumberMatchOnlyThemselves) {
  const char* codes[] = {"J0A", "J", "", "JA6", "J+5", "J-1", "J 5", "J5", "\xD0\x30"};
  for (const char* code : codes) {
    tasks::MkbRange r = tasks::MkbNeighbourhood(code, 3);
    EXPECT_EQ(r.low, code);
    EXPECT_EQ(r.high, code);
  }
}

TEST(DiseaseNeighbourhood, BoundsAsTyped) {
  struct Case {
    const char* typed;
    const char* bound;
  };
  const Case cases[] = {
      {"J06.  ", "J06"}, {" J09. ", "J09"}, {"J09.5", "J09.5"}, {"", ""},
      {".", ""},         {"J06..", "J06."}, {"  A00  ", "A00"}, {"\tZ99.9\r\n", "Z99.9"},
  };
  for (const Case& c : cases) EXPECT_EQ(tasks::NormalizeMkbBound(c.typed), c.bound) << c.typed;
}

TEST(DiseaseNeighbourhood, MarkPerPair) {
  struct Case {
    int current, neighbour;
    int64_t days;
    bool mark;
  };
  const Case cases[] = {
      {1, 0, 0, true},   {1, 0, 5000, true}, {1, 1, 400, true},  {0, 0, 0, true},   {0, 0, 15, true},
      {0, 0, 16, false}, {0, 1, 0, false},   {0, 1, 20, false},  {-1, 0, 0, false}, {0, -1, 0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(tasks::MarksNeighbour(c.current, c.neighbour, c.days), c.mark)
        << c.current << "/" << c.neighbour << "/" << c.days;
}

}  // namespace
