// The repairs made to iCalendar text before libical reads it: one case per
// malformation, and the well-formed lines next to them left alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/platform/linux/IcsTextRepair.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

TEST(IcsTextRepairTest, EscapedSeparatorsInsideARepeatRuleAreUnescaped) {
  EXPECT_EQ(repairIcsText("RRULE:FREQ=WEEKLY\\;BYDAY=MO\\,WE\\;COUNT=4\r\n"),
            "RRULE:FREQ=WEEKLY;BYDAY=MO,WE;COUNT=4\r\n");
  EXPECT_EQ(repairIcsText("rrule:FREQ=DAILY\\;COUNT=2\n"), "rrule:FREQ=DAILY;COUNT=2\r\n") << "names ignore case";
  EXPECT_EQ(repairIcsText("EXRULE:FREQ=DAILY\\;COUNT=2\r\n"), "EXRULE:FREQ=DAILY;COUNT=2\r\n");
}

TEST(IcsTextRepairTest, EscapesInTextPropertiesAreKept) {
  const std::string text = "SUMMARY:Lunch\\; then coffee\\, maybe\r\nDESCRIPTION:RRULE:FREQ=DAILY\\;\r\n";
  EXPECT_EQ(repairIcsText(text), text);
  const std::string named = "X-RRULE-NOTE:FREQ=DAILY\\;COUNT=2\r\n";
  EXPECT_EQ(repairIcsText(named), named) << "only RRULE itself";
}

TEST(IcsTextRepairTest, AQuoteThatSwallowedTheValueIsClosedBeforeIt) {
  EXPECT_EQ(repairIcsText("DTSTART;TZID=\"Europe/Paris:20260312T090000\"\r\n"),
            "DTSTART;TZID=\"Europe/Paris\":20260312T090000\r\n");
  EXPECT_EQ(repairIcsText("DTEND;VALUE=DATE-TIME;TZID=\"W. Europe Standard Time:20260312T093000\"\r\n"),
            "DTEND;VALUE=DATE-TIME;TZID=\"W. Europe Standard Time\":20260312T093000\r\n");
}

TEST(IcsTextRepairTest, WellQuotedParametersWithColonsAreKept) {
  const std::string text =
      "DTSTART;TZID=\"America/New_York\":20260311T090000\r\n"
      "ATTENDEE;CN=\"Doe: John\";ROLE=REQ-PARTICIPANT:mailto:john@example.com\r\n"
      "X-NOTE:\"quoted: value\"\r\n";
  EXPECT_EQ(repairIcsText(text), text);
}

TEST(IcsTextRepairTest, DateTimesWithoutSecondsGainThem) {
  EXPECT_EQ(repairIcsText("DTSTART:20260317T0700Z\r\nDTEND;TZID=Europe/Paris:20260317T0800\r\n"),
            "DTSTART:20260317T070000Z\r\nDTEND;TZID=Europe/Paris:20260317T080000\r\n");
  EXPECT_EQ(repairIcsText("EXDATE:20260317T0700Z,20260324T070000Z,20260331T0700Z\r\n"),
            "EXDATE:20260317T070000Z,20260324T070000Z,20260331T070000Z\r\n");
  const std::string kept = "DTSTART;VALUE=DATE:20260317\r\nDTSTART:2026031T0700Z\r\nSUMMARY:20260317T0700\r\n";
  EXPECT_EQ(repairIcsText(kept), kept);
}

TEST(IcsTextRepairTest, FoldedLinesAreUnfoldedBeforeBeingRepaired) {
  EXPECT_EQ(repairIcsText("RRULE:FREQ=WEEKLY\\\r\n ;BYDAY=MO\r\nSUMMARY:a\r\n\tb\r\n"),
            "RRULE:FREQ=WEEKLY;BYDAY=MO\r\nSUMMARY:ab\r\n");
}

TEST(IcsTextRepairTest, BlankLinesAreDroppedAndContinueNothing) {
  EXPECT_EQ(repairIcsText("BEGIN:VEVENT\r\n\r\n\n  SUMMARY:x\r\nEND:VEVENT\r\n"),
            "BEGIN:VEVENT SUMMARY:x\r\nEND:VEVENT\r\n")
      << "a continuation after blank lines continues the last content line";
}

TEST(IcsTextRepairTest, OddLinesPassThrough) {
  EXPECT_EQ(repairIcsText(""), "");
  EXPECT_EQ(repairIcsText("\"\r\n\"\"\r\n:\"\r\nno colon\r\n"), "\"\r\n\"\"\r\n:\"\r\nno colon\r\n");
  EXPECT_EQ(repairIcsText("RRULE:FREQ=DAILY\\"), "RRULE:FREQ=DAILY\r\n") << "a lone backslash at the end";
}

// Every calendar fixture, repaired once, is left alone by a second repair.
TEST(IcsTextRepairTest, RepairingTwiceChangesNothing) {
  const std::string folder = testing_support::testDataPath("calendar");
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string once = repairIcsText(text.str());
    EXPECT_EQ(repairIcsText(once), once) << entry.path();
  }
}

}  // namespace
}  // namespace pallix
