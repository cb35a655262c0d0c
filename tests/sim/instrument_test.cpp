// The simulated instrument's data: the read pattern, the written bytes kept
// and summarised, and the summary of a stream built from pieces.
#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "fixture.h"

class InstrumentTest : public WorldTest {
 protected:
  // Runs one command of Length bytes against Data.
  static sim::ScsiOutcome Run(sim::Instrument& instrument, ULONG flags, std::span<uint8_t> data) {
    sim::ScsiCommand command;
    command.srbFlags = flags;
    command.length = (ULONG)data.size();
    return instrument.Execute(command, data);
  }
};

TEST_F(InstrumentTest, ReadPatternContinuesAcrossCommandsOfAnyLengthAndAlignment) {
  sim::ScriptedInstrument instrument;
  // Past the 64 KiB the pattern is copied in, at offsets of every phase.
  std::vector<uint8_t> buffer(3 * 65536 + 8192);
  uint64_t position = 0;
  for (auto [offset, length] : std::vector<std::pair<size_t, size_t>>{
           {0, 1}, {1, 255}, {17, 4097}, {4095, 70000}, {4096, 65536}, {3, 2 * 65536 + 300}, {250, 0}}) {
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    auto data = std::span<uint8_t>(buffer).subspan(offset, length);
    EXPECT_EQ(Run(instrument, SRB_FLAGS_DATA_IN, data).bytes, length);
    for (size_t i = 0; i < length; ++i) {
      ASSERT_EQ(data[i], sim::ScriptedInstrument::PatternByte(position + i))
          << "byte " << i << " of " << length << " at offset " << offset;
    }
    if (offset + length < buffer.size()) {
      EXPECT_EQ(buffer[offset + length], 0xEE) << "nothing past the data";
    }
    position += length;
  }
  EXPECT_EQ(instrument.BytesRead(), position);
}

TEST_F(InstrumentTest, WritesPastTheKeptBoundAreCountedAndSummarised) {
  sim::ScriptedInstrument instrument;
  instrument.KeepWritten(1000);
  std::vector<uint8_t> stream(1501);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = (uint8_t)(i * 131 + (i >> 8));
  for (size_t at = 0; at < stream.size(); at += 300) {
    size_t length = std::min<size_t>(300, stream.size() - at);
    Run(instrument, SRB_FLAGS_DATA_OUT, std::span<uint8_t>(stream).subspan(at, length));
  }
  EXPECT_EQ(instrument.BytesWritten(), stream.size());
  EXPECT_EQ(instrument.Written(), std::vector<uint8_t>(stream.begin(), stream.begin() + 1000));
  EXPECT_EQ(instrument.WrittenSummary(), sim::StreamSummary::Of(stream));
  EXPECT_EQ(instrument.WrittenSummary().bytes, stream.size());
}

TEST_F(InstrumentTest, ASummaryOfPiecesInAnyOrderIsTheStreamsAndShowsChangedAndMovedBytes) {
  std::vector<uint8_t> stream(1000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = (uint8_t)(i * 37 + 11);
  sim::StreamSummary whole = sim::StreamSummary::Of(stream);
  sim::StreamSummary pieces;
  std::span<const uint8_t> all(stream);
  pieces.Add(523, all.subspan(523));
  pieces.Add(3, all.subspan(3, 520));
  pieces.Add(0, all.subspan(0, 3));
  EXPECT_EQ(pieces, whole);

  std::vector<uint8_t> changed = stream;
  changed[517] ^= 0x80;
  EXPECT_NE(sim::StreamSummary::Of(changed).sum, whole.sum);
  std::vector<uint8_t> moved = stream;
  std::swap_ranges(moved.begin() + 16, moved.begin() + 24, moved.begin() + 800);
  EXPECT_EQ(sim::StreamSummary::Of(moved).sum, whole.sum) << "the same words";
  EXPECT_NE(sim::StreamSummary::Of(moved).weighted, whole.weighted);
}
