// Scans through the whole driver, as the scan program makes them, checked
// pixel for pixel against the instrument's page; and the tools' words for
// SCSI outcomes and error-log entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "scan_session.h"
#include "scsi_text.h"

using sim::ImageComposition;

namespace {

tools::ScanOptions SmallScan(ImageComposition composition, tools::Via via) {
  tools::ScanOptions options;
  options.window.xResolution = options.window.yResolution = 200;
  options.window.upperLeftX = 600;
  options.window.upperLeftY = 2000;
  options.window.width = 2400;   // 2 inches: 400 pixels
  options.window.length = 1800;  // 1.5 inches: 300 lines
  options.window.composition = composition;
  options.window.bitsPerPixel = composition == ImageComposition::Colour ? 24 : composition == ImageComposition::Gray ? 8 : 1;
  options.via = via;
  options.requestBytes = 150000;  // more than two chunks a request
  options.warmUp = std::chrono::milliseconds(30);
  options.progress = false;
  return options;
}

std::string TempFile(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("stillscsi_" + std::to_string(::getpid()) + "_" + name)).string();
}

}  // namespace

class ScanTest : public ::testing::TestWithParam<std::tuple<ImageComposition, tools::Via>> {};

TEST_P(ScanTest, TheImageInThePngIsTheInstrumentsPage) {
  auto [composition, via] = GetParam();
  tools::ScanOptions options = SmallScan(composition, via);
  options.output = TempFile("scan.png");
  std::ostringstream progress;
  tools::ScanReport report = tools::Scan(options, progress);
  ASSERT_TRUE(report.ok) << tools::Summary(report, options);
  EXPECT_EQ(report.width, 400u);
  EXPECT_EQ(report.height, 300u);
  EXPECT_EQ(report.bytes, options.window.ImageBytes());
  // Each request in chunks of the adapter's 64 KiB, and the reads' chunks
  // only: not the commands before or after them.
  uint64_t chunks = 0;
  for (uint64_t left = options.window.ImageBytes(); left != 0;) {
    uint64_t request = std::min<uint64_t>(left, options.requestBytes);
    chunks += (request + 65535) / 65536;
    left -= request;
  }
  EXPECT_EQ(report.chunks.value(), chunks);
  EXPECT_TRUE(report.leftOver.empty());

  std::vector<uint8_t> fromPng;
  ASSERT_TRUE(tools::ReadPng(options.output, options.window, &fromPng));
  EXPECT_EQ(fromPng, sim::TestChart().Render(options.window)) << "pixel for pixel";
  std::remove(options.output.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    EachModeAndRoad, ScanTest,
    ::testing::Combine(::testing::Values(ImageComposition::Colour, ImageComposition::Gray, ImageComposition::Lineart),
                       ::testing::Values(tools::Via::PassThrough, tools::Via::ReadFile)),
    [](const auto& info) {
      ImageComposition composition = std::get<0>(info.param);
      std::string name = composition == ImageComposition::Colour ? "Colour"
                         : composition == ImageComposition::Gray ? "Gray"
                                                                 : "Lineart";
      return name + (std::get<1>(info.param) == tools::Via::ReadFile ? "ByReadFile" : "ByPassThrough");
    });

TEST(ScanFaultTest, ReadFilesRetriesRecoverFromTheScannersFaults) {
  tools::ScanOptions options = SmallScan(ImageComposition::Gray, tools::Via::ReadFile);
  options.window.width = options.window.length = 4800;  // 800 x 800 pixels in 13 chunks
  options.faultRate = 0.2;
  options.errorLog = TempFile("errorlog.json");
  std::ostringstream progress;
  tools::ScanReport report = tools::Scan(options, progress);
  ASSERT_TRUE(report.ok) << tools::Summary(report, options);
  EXPECT_EQ(report.identical, true);
  EXPECT_GT(report.retries.value(), 0);
  EXPECT_FALSE(report.errorLog.value().empty()) << "the hardware errors are logged";
  std::ifstream log(options.errorLog);
  std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("\"entries\""), std::string::npos);
  std::remove(options.errorLog.c_str());
}

TEST(ScanFaultTest, APassThroughFailureReachesTheProgramAsDecodedSense) {
  tools::ScanOptions options = SmallScan(ImageComposition::Gray, tools::Via::PassThrough);
  options.faultRate = 0.15;
  std::ostringstream progress;
  tools::ScanReport report = tools::Scan(options, progress);
  ASSERT_TRUE(report.ok) << tools::Summary(report, options);
  bool decoded = false;
  for (const std::string& line : report.log) {
    decoded |= line.find("UNIT ATTENTION: power on, reset, or bus device reset occurred (29/00)") != std::string::npos;
  }
  EXPECT_TRUE(decoded) << "the program read the sense and sent the READ again";
  EXPECT_TRUE(report.errorLog.value().empty()) << "the pass-through logs nothing";
}

TEST(ScanFaultTest, AWindowOffThePageIsRefusedInWords) {
  tools::ScanOptions options = SmallScan(ImageComposition::Colour, tools::Via::PassThrough);
  options.window.upperLeftX = 9000;
  std::ostringstream progress;
  tools::ScanReport report = tools::Scan(options, progress);
  EXPECT_FALSE(report.ok);
  EXPECT_NE(report.failure.find("ILLEGAL REQUEST: invalid field in parameter list (26/00)"), std::string::npos)
      << report.failure;
  EXPECT_EQ(report.exitCode, 5) << "the illegal request's code";
  EXPECT_TRUE(report.leftOver.empty());

  // The summary says what happened, once: no image, no comparison, the
  // failure one time, in the summary and nowhere in the command log.
  std::string summary = tools::Summary(report, options);
  EXPECT_EQ(summary.find("image:"), std::string::npos) << summary;
  EXPECT_EQ(summary.find("pixels identical"), std::string::npos) << summary;
  EXPECT_NE(summary.find("bytes:      0 of 360000"), std::string::npos) << summary;
  size_t first = summary.find("(26/00)");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(summary.find("(26/00)", first + 1), std::string::npos) << summary;
}

// ---------------------------------------------------------------- words

TEST(ScsiTextTest, SenseStatusAndErrorLogEntriesInWords) {
  std::vector<uint8_t> sense(18, 0);
  sense[0] = 0xF0;
  sense[2] = 0x60;  // NO SENSE, end of medium, incorrect length
  sense[6] = 100;
  sense[7] = 10;
  EXPECT_EQ(tools::SenseText(sense),
            "NO SENSE: no additional sense information (00/00), incorrect length, end of medium, information 100");
  sense = std::vector<uint8_t>(18, 0);
  sense[2] = 0x02;
  sense[12] = 0x04;
  sense[13] = 0x01;
  EXPECT_EQ(tools::SenseText(sense), "NOT READY: logical unit is in process of becoming ready (04/01)");
  sense[12] = 0x04;
  sense[13] = 0x7F;
  EXPECT_EQ(tools::SenseText(sense), "NOT READY: logical unit not ready (04/7F)") << "any other ASCQ of the code";
  EXPECT_EQ(tools::SrbStatusText(0xC4), "ERROR, queue frozen, sense valid");
  EXPECT_EQ(tools::SrbStatusText(0x3E), "SRB status 0x3E");
  EXPECT_EQ(tools::ScsiStatusText(0x18), "RESERVATION CONFLICT");

  std::vector<uint8_t> entry(68, 0);
  IO_ERROR_LOG_PACKET packet{};
  packet.MajorFunctionCode = 0x0F;
  packet.RetryCount = 4;
  packet.DumpDataSize = 24;
  packet.ErrorCode = IO_ERR_CONTROLLER_ERROR;
  packet.UniqueErrorValue = 257;
  packet.FinalStatus = STATUS_IO_DEVICE_ERROR;
  std::memcpy(entry.data(), &packet, sizeof(packet));
  uint32_t dump[6] = {0, 3, 0, 0, 0xC402, 0x00044400};
  std::memcpy(entry.data() + offsetof(IO_ERROR_LOG_PACKET, DumpData), dump, sizeof(dump));
  EXPECT_EQ(tools::ErrorLogEntryText(entry),
            "IO_ERR_CONTROLLER_ERROR (unique 257), final STATUS_IO_DEVICE_ERROR, retry 4, major 0x0F; "
            "SRB ERROR, queue frozen, sense valid; SCSI CHECK CONDITION; sense HARDWARE ERROR 44/00")
      << "the logged SRB's path, target and LUN are not the device's address";
}

// The severity of an error code is its top two bits; its event ID the low 16.
TEST(ScsiTextTest, ErrorCodesGiveTheirLevelAndMessage) {
  EXPECT_EQ(tools::EventLevelText((NTSTATUS)0x00040001), "Success");
  EXPECT_EQ(tools::EventLevelText((NTSTATUS)0x40040001), "Information");
  EXPECT_EQ(tools::EventLevelText(IO_RECOVERED_VIA_ECC), "Warning");
  EXPECT_EQ(tools::EventLevelText(IO_ERR_NOT_READY), "Error");
  EXPECT_EQ(tools::ErrorCodeMessage(IO_ERR_BAD_BLOCK, "\\Device\\StillScsi0"),
            "The device, \\Device\\StillScsi0, has a bad block.");
  EXPECT_EQ(tools::ErrorCodeMessage((NTSTATUS)0xC0040099, "x"), "") << "no text for a code the driver never logs";

  std::vector<uint8_t> entry(offsetof(IO_ERROR_LOG_PACKET, DumpData), 0);
  NTSTATUS unknown = (NTSTATUS)0xC0040099;
  std::memcpy(entry.data() + offsetof(IO_ERROR_LOG_PACKET, ErrorCode), &unknown, sizeof(unknown));
  std::string text = tools::ErrorLogEventText(entry, "", "");
  EXPECT_NE(text.find("  Event ID:       153\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  Message:        No message text for event ID 153 of source StillScsi.\n"), std::string::npos);
  EXPECT_NE(text.find("  Device:         not recorded in this log\n"), std::string::npos);
  EXPECT_NE(text.find("  Dump data:      none\n"), std::string::npos);
}
