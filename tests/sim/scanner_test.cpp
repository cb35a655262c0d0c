// The simulated scanner's command handling, command by command, answered
// directly (no driver in between).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "scanner.h"

using namespace sim;

namespace {

struct Sent {
  ScsiOutcome outcome;
  std::vector<uint8_t> data;
};

Sent Send(SimulatedScanner& scanner, std::vector<uint8_t> cdb, uint32_t direction = 0, std::vector<uint8_t> data = {}) {
  ScsiCommand command;
  command.cdb = CdbBytes(cdb.data(), cdb.size());
  command.srbFlags = direction;
  command.length = (ULONG)data.size();
  Sent sent;
  sent.data = std::move(data);
  sent.outcome = scanner.Execute(command, sent.data);
  return sent;
}

std::vector<uint8_t> Window(uint32_t dpi, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t composition,
                            uint8_t bits) {
  std::vector<uint8_t> list(48, 0);
  list[7] = 40;
  auto put = [&](size_t at, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i, value >>= 8) list[8 + at + i] = (uint8_t)value;
  };
  put(2, dpi, 2);
  put(4, dpi, 2);
  put(6, x, 4);
  put(10, y, 4);
  put(14, w, 4);
  put(18, h, 4);
  list[8 + 25] = composition;
  list[8 + 26] = bits;
  return list;
}

std::vector<uint8_t> kSetWindowCdb = {kSetWindow, 0, 0, 0, 0, 0, 0, 0, 48, 0};

// The sense key, ASC and ASCQ of a CHECK CONDITION, or -1 for a good answer.
int Sense(const ScsiOutcome& outcome) {
  if (outcome.sense.empty()) return -1;
  return (outcome.sense[2] & 0x0F) << 16 | outcome.sense[12] << 8 | outcome.sense[13];
}

}  // namespace

TEST(ScannerTest, IdentifiesItselfAsAScanner) {
  SimulatedScanner scanner;
  Sent inquiry = Send(scanner, {kInquiry, 0, 0, 0, 36, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(36));
  EXPECT_EQ(inquiry.outcome.bytes, 36u);
  EXPECT_EQ(inquiry.data[0], 0x06);
  EXPECT_EQ(std::string((char*)&inquiry.data[8], 8), "STILLSIM");
  EXPECT_EQ(std::string((char*)&inquiry.data[16], 13), "CHART SCANNER");
}

TEST(ScannerTest, IsBecomingReadyWhileTheLampWarmsUpButAnswersInquiryAndRequestSense) {
  ScannerOptions options;
  options.warmUp = std::chrono::hours(1);
  SimulatedScanner scanner(options);
  EXPECT_EQ(Sense(Send(scanner, {kTestUnitReady, 0, 0, 0, 0, 0}).outcome), 0x020401);
  EXPECT_EQ(Sense(Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, Window(150, 0, 0, 1200, 1200, 5, 24)).outcome), 0x020401);
  Sent sense = Send(scanner, {kRequestSense, 0, 0, 0, 18, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(18));
  EXPECT_EQ(Sense(sense.outcome), -1);
  EXPECT_EQ(sense.data[2], 0x02) << "REQUEST SENSE gives the last sense";
  EXPECT_EQ(sense.data[12], 0x04);
  EXPECT_EQ(sense.data[13], 0x01);
  EXPECT_EQ(Send(scanner, {kInquiry, 0, 0, 0, 36, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(36)).outcome.scsiStatus,
            SCSISTAT_GOOD);
}

struct WindowCase {
  const char* name;
  std::vector<uint8_t> list;
  int sense;  // -1: accepted
};

class ScannerWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(ScannerWindowTest, AcceptsAGoodWindowAndRefusesABadField) {
  SimulatedScanner scanner;
  std::vector<uint8_t> cdb = kSetWindowCdb;
  cdb[8] = (uint8_t)GetParam().list.size();
  EXPECT_EQ(Sense(Send(scanner, cdb, SRB_FLAGS_DATA_OUT, GetParam().list).outcome), GetParam().sense);
}

INSTANTIATE_TEST_SUITE_P(
    EachField, ScannerWindowTest,
    ::testing::Values(WindowCase{"Colour", Window(150, 0, 0, 1200, 1200, 5, 24), -1},
                      WindowCase{"Gray", Window(300, 600, 600, 1200, 600, 2, 8), -1},
                      WindowCase{"Lineart", Window(600, 0, 0, 2400, 1200, 0, 1), -1},
                      WindowCase{"WholeA4", Window(150, 0, 0, kA4Width, kA4Length, 5, 24), -1},
                      WindowCase{"ResolutionTooLow", Window(10, 0, 0, 1200, 1200, 5, 24), 0x052600},
                      WindowCase{"ResolutionTooHigh", Window(2400, 0, 0, 1200, 1200, 5, 24), 0x052600},
                      WindowCase{"AreaPastThePage", Window(150, 9000, 0, 1200, 1200, 5, 24), 0x052600},
                      WindowCase{"NoWidth", Window(150, 0, 0, 0, 1200, 5, 24), 0x052600},
                      WindowCase{"ColourInEightBits", Window(150, 0, 0, 1200, 1200, 5, 8), 0x052600},
                      WindowCase{"UnknownComposition", Window(150, 0, 0, 1200, 1200, 3, 8), 0x052600},
                      WindowCase{"ShortList", std::vector<uint8_t>(20, 0), 0x051A00}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScannerTest, GetWindowGivesTheWindowSetBack) {
  SimulatedScanner scanner;
  Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, Window(300, 120, 240, 2400, 1200, 2, 8));
  Sent got = Send(scanner, {kGetWindow, 0, 0, 0, 0, 0, 0, 0, 48, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(48));
  std::vector<uint8_t> expected = Window(300, 120, 240, 2400, 1200, 2, 8);
  EXPECT_TRUE(std::equal(got.data.begin() + 8, got.data.end(), expected.begin() + 8));
  ScanWindow window = scanner.Window();
  EXPECT_EQ(window.PixelsPerLine(), 600u);
  EXPECT_EQ(window.Lines(), 300u);
}

TEST(ScannerTest, ReadsTheChartAfterScanAndEndsShortWithTheResidue) {
  SimulatedScanner scanner;
  Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, Window(100, 0, 0, 1200, 120, 2, 8));  // 100 x 10 pixels
  EXPECT_EQ(Sense(Send(scanner, {kRead10, 0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(1000)).outcome),
            0x052C00)
      << "no READ before SCAN";
  Send(scanner, {kScan, 0, 0, 0, 0, 0});
  std::vector<uint8_t> expected = scanner.Chart().Render(scanner.Window());
  ASSERT_EQ(expected.size(), 1000u);
  Sent first = Send(scanner, {kRead10, 0, 0, 0, 0, 0, 0, 0x02, 0x58, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(600));
  EXPECT_EQ(first.outcome.bytes, 600u);
  EXPECT_TRUE(std::equal(first.data.begin(), first.data.end(), expected.begin()));
  Sent last = Send(scanner, {kRead6, 0, 0x00, 0x01, 0xF4, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(500));
  EXPECT_EQ(last.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN);
  EXPECT_EQ(last.outcome.bytes, 400u);
  EXPECT_TRUE(std::equal(last.data.begin(), last.data.begin() + 400, expected.begin() + 600));
  ASSERT_EQ(last.outcome.sense.size(), 18u);
  EXPECT_EQ(last.outcome.sense[2], 0x60) << "NO SENSE with end of medium and incorrect length";
  EXPECT_EQ(last.outcome.sense[0] & 0x80, 0x80);
  EXPECT_EQ(last.outcome.sense[6], 100) << "the residue";
  EXPECT_EQ(Sense(Send(scanner, {kRead10, 0, 0x80, 0, 0, 0, 0, 0, 1, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(1)).outcome),
            0x052400)
      << "only image data";
}

TEST(ScannerTest, ReportsItsBufferPositionsObjectsAndRefusesUnknownCommands) {
  SimulatedScanner scanner;
  Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, Window(100, 0, 0, 1200, 120, 2, 8));
  Send(scanner, {kScan, 0, 0, 0, 0, 0});
  Sent status = Send(scanner, {kGetDataBufferStatus, 0, 0, 0, 0, 0, 0, 0, 12, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(12));
  EXPECT_EQ(status.outcome.bytes, 12u);
  EXPECT_EQ(status.data[2], 9) << "data length";
  EXPECT_EQ(status.data[11] | status.data[10] << 8, 1000) << "the image bytes ready";
  EXPECT_EQ(Sense(Send(scanner, {kObjectPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}).outcome), -1);
  EXPECT_EQ(Sense(Send(scanner, {kRead10, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(1)).outcome),
            0x052C00)
      << "unloaded: the scan is over";
  EXPECT_EQ(Sense(Send(scanner, {0xC1, 0, 0, 0, 0, 0}).outcome), 0x052000);
}

TEST(ScannerTest, InjectedFaultsAreUnitAttentionsAndHardwareErrorsThatLoseNoData) {
  ScannerOptions options;
  options.faultRate = 1.0;
  SimulatedScanner scanner(options);
  Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, Window(100, 0, 0, 1200, 120, 2, 8));
  Send(scanner, {kScan, 0, 0, 0, 0, 0});
  std::vector<uint8_t> cdb = {kRead10, 0, 0, 0, 0, 0, 0, 0, 100, 0};
  EXPECT_EQ(Sense(Send(scanner, cdb, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(100)).outcome), 0x062900);
  EXPECT_EQ(Sense(Send(scanner, cdb, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(100)).outcome), 0x044400);
  EXPECT_EQ(scanner.Delivered(), 0u);
  EXPECT_EQ(scanner.FaultsInjected(), 2);
}

// ---------------------------------------------------------------- allocation lengths

// A command answers at most its allocation length and at most the bytes it
// has. The port reports any transfer other than the buffer's length as
// SRB_STATUS_DATA_OVERRUN with the bytes moved; a short transfer reported
// good makes the driver send the rest of the buffer as the same command
// again, which fills the buffer with repeats.
struct AllocationCase {
  const char* name;
  std::vector<uint8_t> (*cdb)(uint32_t allocation);
  uint32_t has;  // the bytes of the command's answer
};

class ScannerAllocationTest : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(ScannerAllocationTest, AnswersAtMostTheAllocationLengthAndReportsAShorterTransferAsAnUnderrun) {
  SimulatedScanner scanner;
  uint32_t has = GetParam().has;
  std::vector<uint8_t> whole = Send(scanner, GetParam().cdb(has), SRB_FLAGS_DATA_IN, std::vector<uint8_t>(has)).data;

  Sent shorter = Send(scanner, GetParam().cdb(has - 4), SRB_FLAGS_DATA_IN, std::vector<uint8_t>(has - 4));
  EXPECT_EQ(shorter.outcome.srbStatus, SRB_STATUS_SUCCESS) << "cut to the allocation length";
  EXPECT_EQ(shorter.outcome.bytes, has - 4);
  EXPECT_TRUE(std::equal(shorter.data.begin(), shorter.data.end(), whole.begin()));

  Sent longer = Send(scanner, GetParam().cdb(has + 64), SRB_FLAGS_DATA_IN, std::vector<uint8_t>(has + 64, 0xEE));
  EXPECT_EQ(longer.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN) << "an underrun";
  EXPECT_EQ(longer.outcome.scsiStatus, SCSISTAT_GOOD);
  EXPECT_EQ(longer.outcome.bytes, has);
  EXPECT_TRUE(std::equal(whole.begin(), whole.end(), longer.data.begin()));
  EXPECT_TRUE(std::all_of(longer.data.begin() + has, longer.data.end(), [](uint8_t b) { return b == 0xEE; }))
      << "nothing past the answer is written";

  Sent larger = Send(scanner, GetParam().cdb(has), SRB_FLAGS_DATA_IN, std::vector<uint8_t>(has + 10));
  EXPECT_EQ(larger.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN) << "a buffer larger than the allocation length";
  EXPECT_EQ(larger.outcome.bytes, has);
}

INSTANTIATE_TEST_SUITE_P(
    EachCommandWithData, ScannerAllocationTest,
    ::testing::Values(
        AllocationCase{"Inquiry", [](uint32_t n) { return std::vector<uint8_t>{kInquiry, 0, 0, 0, (uint8_t)n, 0}; }, 36},
        AllocationCase{"RequestSense",
                       [](uint32_t n) { return std::vector<uint8_t>{kRequestSense, 0, 0, 0, (uint8_t)n, 0}; }, 18},
        AllocationCase{"GetWindow",
                       [](uint32_t n) {
                         return std::vector<uint8_t>{kGetWindow, 0, 0, 0, 0, 0, (uint8_t)(n >> 16), (uint8_t)(n >> 8),
                                                     (uint8_t)n, 0};
                       },
                       48},
        AllocationCase{"GetDataBufferStatus",
                       [](uint32_t n) {
                         return std::vector<uint8_t>{kGetDataBufferStatus, 0, 0, 0, 0, 0, 0, (uint8_t)(n >> 8),
                                                     (uint8_t)n, 0};
                       },
                       12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScannerTest, RequestSenseOfAllocationLengthZeroGivesFourBytesAndReportsTheSenseOnce) {
  SimulatedScanner scanner;
  Send(scanner, {0xC1, 0, 0, 0, 0, 0});  // ILLEGAL REQUEST
  Sent four = Send(scanner, {kRequestSense, 0, 0, 0, 0, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(4));
  EXPECT_EQ(four.outcome.srbStatus, SRB_STATUS_SUCCESS);
  EXPECT_EQ(four.outcome.bytes, 4u);
  EXPECT_EQ(four.data[0], 0x70);
  EXPECT_EQ(four.data[2], 0x05);
  Sent again = Send(scanner, {kRequestSense, 0, 0, 0, 18, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(18));
  EXPECT_EQ(again.data[2], 0x00) << "reported once";
}

TEST(ScannerTest, RefusesVitalProductDataAndShortCdbsOfTenByteCommands) {
  SimulatedScanner scanner;
  EXPECT_EQ(Sense(Send(scanner, {kInquiry, 0x01, 0x80, 0, 36, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(36)).outcome),
            0x052400)
      << "no serial-number page: standard data would be read as one";
  EXPECT_EQ(Sense(Send(scanner, {kInquiry, 0, 0x80, 0, 36, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(36)).outcome),
            0x052400)
      << "a page code without EVPD";
  EXPECT_EQ(Sense(Send(scanner, {kGetWindow, 0, 0, 0, 48, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(48)).outcome),
            0x052400);
  EXPECT_EQ(Sense(Send(scanner, {kGetDataBufferStatus, 0, 0, 0, 12, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(12)).outcome),
            0x052400);
}

TEST(ScannerTest, SetWindowAndScanTakeTheirListLengthsAndAShorterListIsAnUnderrun) {
  SimulatedScanner scanner;
  std::vector<uint8_t> list = Window(100, 0, 0, 1200, 120, 2, 8);
  list.resize(100, 0xEE);
  Sent set = Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, list);  // a list of 48 in a buffer of 100
  EXPECT_EQ(set.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN);
  EXPECT_EQ(set.outcome.bytes, 48u);
  EXPECT_EQ(scanner.Window().PixelsPerLine(), 100u) << "the window is set";
  Sent scan = Send(scanner, {kScan, 0, 0, 0, 1, 0}, SRB_FLAGS_DATA_OUT, std::vector<uint8_t>(1));
  EXPECT_EQ(scan.outcome.srbStatus, SRB_STATUS_SUCCESS);
  EXPECT_EQ(scan.outcome.bytes, 1u);
  Sent ready = Send(scanner, {kTestUnitReady, 0, 0, 0, 0, 0}, SRB_FLAGS_DATA_IN, std::vector<uint8_t>(8));
  EXPECT_EQ(ready.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN) << "no data phase at all";
  EXPECT_EQ(ready.outcome.bytes, 0u);
}

// The residue is the transfer length less the bytes the scanner sent, and
// the image goes on from what reached the buffer.
TEST(ScannerTest, AReadMovesItsTransferLengthAndAtThePagesEndTheResidueIsOfThatLength) {
  SimulatedScanner scanner;
  Send(scanner, kSetWindowCdb, SRB_FLAGS_DATA_OUT, Window(100, 0, 0, 1200, 120, 2, 8));  // 1000 bytes
  Send(scanner, {kScan, 0, 0, 0, 0, 0});
  std::vector<uint8_t> expected = scanner.Chart().Render(scanner.Window());

  Sent underrun = Send(scanner, {kRead10, 0, 0, 0, 0, 0, 0, 0x01, 0x2C, 0}, SRB_FLAGS_DATA_IN,
                       std::vector<uint8_t>(700));  // 300 asked of a buffer of 700
  EXPECT_EQ(underrun.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN);
  EXPECT_EQ(underrun.outcome.scsiStatus, SCSISTAT_GOOD);
  EXPECT_EQ(underrun.outcome.bytes, 300u);
  EXPECT_EQ(scanner.Delivered(), 300u);
  EXPECT_TRUE(std::equal(underrun.data.begin(), underrun.data.begin() + 300, expected.begin()));

  Sent last = Send(scanner, {kRead10, 0, 0, 0, 0, 0, 0, 0x03, 0xE8, 0}, SRB_FLAGS_DATA_IN,
                   std::vector<uint8_t>(800));  // 1000 asked of a buffer of 800, 700 left
  EXPECT_EQ(last.outcome.srbStatus, SRB_STATUS_DATA_OVERRUN);
  EXPECT_EQ(last.outcome.bytes, 700u);
  ASSERT_EQ(last.outcome.sense.size(), 18u);
  EXPECT_EQ(last.outcome.sense[2], 0x60);
  EXPECT_EQ(last.outcome.sense[5] << 8 | last.outcome.sense[6], 300) << "of the transfer length, not of the buffer";
  EXPECT_TRUE(std::equal(last.data.begin(), last.data.begin() + 700, expected.begin() + 300));

  Send(scanner, {kScan, 0, 0, 0, 0, 0});
  Sent filled = Send(scanner, {kRead10, 0, 0, 0, 0, 0, 0, 0x07, 0xD0, 0}, SRB_FLAGS_DATA_IN,
                     std::vector<uint8_t>(1000));  // 2000 asked of a buffer of 1000: the whole page
  EXPECT_EQ(filled.outcome.srbStatus, SRB_STATUS_ERROR) << "the buffer is full: no underrun, the sense tells";
  EXPECT_EQ(filled.outcome.bytes, 1000u);
  EXPECT_EQ(filled.outcome.sense[5] << 8 | filled.outcome.sense[6], 1000);
}
