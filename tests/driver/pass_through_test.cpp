// SCSI commands passed through chunk by chunk: the status byte, the sense
// data and the byte count in the caller's own memory; the caller's memory
// that cannot be had; and what a pass-through costs.
#include "app_fixture.h"

using sim::ScsiOutcome;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Values;

class PassThroughTest : public AppTest {
 protected:
  std::vector<sim::SentSrb> Executed() { return port->ExecuteSrbs(); }
};

TEST_F(PassThroughTest, ALongReadGoesInChunksAndTheLastCdbStatesTheLastChunk) {
  void* data = world.user.Alloc(200000);
  UserCommand command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(200000).Build(world);
  host::IoResult result = PassThrough(*a, command, data, 200000);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 200000u);
  EXPECT_EQ(command.Status(), SRB_STATUS_SUCCESS);
  EXPECT_TRUE(IsPattern(data, 200000, 0));
  auto srbs = Executed();
  ASSERT_EQ(srbs.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(srbs[i].srb.DataTransferLength, 65536u);
    EXPECT_EQ(srbs[i].dataOffset, 65536u * i);
    EXPECT_THAT(srbs[i].cdb, ElementsAre(0x28, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0)) << "chunk " << i;
  }
  EXPECT_EQ(srbs[3].srb.DataTransferLength, 3392u);
  EXPECT_THAT(srbs[3].cdb, ElementsAre(0x28, 0, 0, 0, 0, 0, 0x00, 0x0D, 0x40, 0));
  EXPECT_EQ(command.Block().pSrbStatus, command.status) << "the caller's block is not changed";
}

TEST_F(PassThroughTest, AFailingSecondChunkEndsTheRequestWithItsStatusByteAndSense) {
  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::CheckCondition(0x4, 0x44, 0x00));
  void* data = world.user.Alloc(200000);
  UserCommand command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(200000).Build(world);
  host::IoResult result = PassThrough(*a, command, data, 200000);
  EXPECT_EQ(result.status, STATUS_SUCCESS) << "the request succeeds whatever the SRBs did";
  EXPECT_EQ(result.information, 65536u);
  EXPECT_EQ(command.Status(), 0xC4);
  EXPECT_THAT(command.Sense(), ElementsAreArray(sim::FixedSense(0x4, 0x44, 0x00)));
  EXPECT_EQ(port->Releases(), 1) << "the frozen queue is released";
  port->PumpAll();  // the release does not hold the request back
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(Executed().size(), 2u) << "no retry";
  EXPECT_THAT(world.errorLog.Entries(), IsEmpty()) << "the pass-through logs nothing";
}

TEST_F(PassThroughTest, AReleaseThatCannotBeHadIsSentBeforeTheNextRequest) {
  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::CheckCondition(0x4, 0x44, 0x00));
  world.faults.Fail(host::Fault::IrpAllocation);
  void* data = world.user.Alloc(200000);
  UserCommand command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(200000).Build(world);
  EXPECT_EQ(PassThrough(*a, command, data, 200000).information, 65536u);
  EXPECT_TRUE(port->Frozen());
  EXPECT_THAT(world.pool.Count(STILLSCSI_POOL_TAG), 1u) << "the release's block is given back";

  host::IoResult next = PassThrough(*b, command, data, 200000);
  EXPECT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.information, 200000u) << "served, not held behind the frozen queue";
  EXPECT_EQ(port->Releases(), 1);
}

TEST_F(PassThroughTest, ADataOverrunOnASingleChunkCountsNoBytes) {
  port->Script().Then(ScsiOutcome::Short(1000));
  void* data = world.user.Alloc(4096);
  UserCommand command = CommandBuilder().Cdb({0x08, 0, 0, 0x10, 0, 0}).DataIn(4096).Build(world);
  host::IoResult result = PassThrough(*a, command, data, 4096);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(command.Status() & 0x3F, SRB_STATUS_DATA_OVERRUN);
  EXPECT_EQ(command.Status(), Executed()[0].completedSrbStatus);
}

TEST_F(PassThroughTest, ACommandWithoutDataIsOneSrb) {
  UserCommand command = CommandBuilder().Cdb({0x00, 0, 0, 0, 0, 0}).Build(world);
  host::IoResult result = PassThrough(*a, command);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(command.Status(), SRB_STATUS_SUCCESS);
  ASSERT_EQ(Executed().size(), 1u);
  EXPECT_EQ(Executed()[0].srb.DataTransferLength, 0u);
}

TEST_F(PassThroughTest, ATenByteCdbWithoutDataSendsALengthOfZero) {
  UserCommand command = CommandBuilder().Cdb({0x34, 0, 0, 0, 0, 0, 0x66, 0x77, 0x88, 0}).Build(world);
  ASSERT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS);
  EXPECT_THAT(Executed()[0].cdb, ElementsAre(0x34, 0, 0, 0, 0, 0, 0x66, 0, 0, 0)) << "0x34: bytes 7 and 8 only";
}

// Bytes 2 to 4 of READ(6) and WRITE(6) hold the byte count: each chunk's
// CDB states that chunk, or the unit would be asked for the whole transfer
// every time.
TEST_F(PassThroughTest, ASixByteReadOrWriteInChunksStatesEachChunksLength) {
  for (UCHAR opcode : {UCHAR(0x08), UCHAR(0x0A)}) {
    SCOPED_TRACE(opcode);
    ULONG length = 2 * 65536 + 0x1234;
    void* data = world.user.Alloc(length);
    CommandBuilder builder;
    builder.Cdb({opcode, 0x01, 0x02, 0x12, 0x34, 0x80});
    UserCommand command = (opcode == 0x08 ? builder.DataIn(length) : builder.DataOut(length)).Build(world);
    size_t before = Executed().size();
    ASSERT_EQ(PassThrough(*a, command, data, length).information, length);
    auto srbs = Executed();
    ASSERT_EQ(srbs.size() - before, 3u);
    EXPECT_THAT(srbs[before + 0].cdb, ElementsAre(opcode, 0x01, 0x01, 0x00, 0x00, 0x80));
    EXPECT_THAT(srbs[before + 1].cdb, ElementsAre(opcode, 0x01, 0x01, 0x00, 0x00, 0x80));
    EXPECT_THAT(srbs[before + 2].cdb, ElementsAre(opcode, 0x01, 0x00, 0x12, 0x34, 0x80)) << "the last, shorter chunk";
  }
}

TEST_F(PassThroughTest, OtherSixByteCdbsAndASingleChunkGoAsWritten) {
  void* data = world.user.Alloc(3 * 65536);
  UserCommand other = CommandBuilder().Cdb({0x1C, 0, 0x03, 0, 0, 0}).DataIn(3 * 65536).Build(world);
  ASSERT_EQ(PassThrough(*a, other, data, 3 * 65536).information, 3 * 65536u);
  auto srbs = Executed();
  ASSERT_EQ(srbs.size(), 3u);
  for (const auto& sent : srbs) EXPECT_THAT(sent.cdb, ElementsAre(0x1C, 0, 0x03, 0, 0, 0));
  EXPECT_EQ((uintptr_t)srbs[2].srb.DataBuffer - (uintptr_t)srbs[0].srb.DataBuffer, 2 * 65536u);

  UserCommand single = CommandBuilder().Cdb({0x08, 0, 0x77, 0x66, 0x55, 0}).DataIn(4096).Build(world);
  ASSERT_EQ(PassThrough(*a, single, data, 4096).information, 4096u);
  EXPECT_THAT(Executed().back().cdb, ElementsAre(0x08, 0, 0x77, 0x66, 0x55, 0)) << "one chunk: the caller's bytes";
}

TEST_F(PassThroughTest, ATwelveByteCdbIsServedOnlyInOneChunk) {
  void* data = world.user.Alloc(2 * 65536);
  UserCommand command =
      CommandBuilder().Cdb({0xA8, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0}).DataIn(2 * 65536).Build(world);
  host::IoResult result = PassThrough(*a, command, data, 2 * 65536);
  EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
  EXPECT_THAT(Executed(), IsEmpty());
  EXPECT_EQ(world.mdls.LockedCount(), 0u);
  EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u);

  UserCommand single = CommandBuilder().Cdb({0xA8, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}).DataIn(65536).Build(world);
  EXPECT_EQ(PassThrough(*a, single, data, 65536).information, 65536u);
}

TEST_F(PassThroughTest, NoSenseLengthMakesNoSenseMdlAndNoSenseBuffer) {
  uint64_t before = world.mdls.MadeByDrivers();
  UserCommand command = CommandBuilder().Cdb({0x00, 0, 0, 0, 0, 0}).SenseLength(0).Build(world);
  ASSERT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS);
  EXPECT_EQ(world.mdls.MadeByDrivers() - before, 1u) << "the status byte's only";
  EXPECT_EQ(Executed()[0].srb.SenseInfoBuffer, nullptr) << "never the caller's user address";
  EXPECT_EQ(Executed()[0].srb.SenseInfoBufferLength, 0);
}

// The caller may choose the direction and the manners of the transfer; the
// port's own bits would bypass a frozen or locked queue or claim its
// bookkeeping.
TEST_F(PassThroughTest, ACallersSrbFlagsBeyondTheDirectionAndTheTransfersMannersAreRefused) {
  const ULONG allowed[] = {0x02, 0x04, 0x08, 0x20, 0x100, 0x200};
  for (ULONG flag : allowed) {
    SCOPED_TRACE(flag);
    UserCommand command = CommandBuilder().Cdb({0x00, 0, 0, 0, 0, 0}).Data(flag, 0).Build(world);
    ASSERT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS);
    EXPECT_EQ(Executed().back().srb.SrbFlags & flag, flag) << "passed on";
  }
  size_t sent = Executed().size();
  const ULONG refused[] = {0x01,     0x10,     0x400,    0x800,      0x1000,     0x10000, 0x20000,
                           0x40000,  0x80000,  0x200000, 0x400000,   0x800000,   0x01000000,
                           0x0F000000, 0x10000000, 0x80000000};
  void* data = world.user.Alloc(4096);
  for (ULONG flag : refused) {
    SCOPED_TRACE(flag);
    UserCommand command = CommandBuilder().Cdb({0x08, 0, 0, 0x10, 0, 0}).Data(SRB_FLAGS_DATA_IN | flag, 4096).Build(world);
    host::IoResult result = PassThrough(*a, command, data, 4096);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(Executed().size(), sent) << "nothing sent";
  EXPECT_EQ(world.mdls.LockedCount(), 0u) << "nothing locked";
  EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u) << "nothing left";
}

TEST_F(PassThroughTest, OnlyTheStatusByteAndTheSenseBytesOfTheCallersMemoryAreWritten) {
  port->Script().Then(ScsiOutcome::CheckCondition(0x3, 0x11, 0x00));
  UserCommand command = CommandBuilder().Cdb({0x00, 0, 0, 0, 0, 0}).SenseAt(Place::At(100)).StatusAt(Place::At(200)).Build(world);
  // Everything around the two is filled with a pattern that must survive.
  auto sensePage = world.user.Bytes((uint8_t*)command.sense - 100, PAGE_SIZE);
  auto statusPage = world.user.Bytes((uint8_t*)command.status - 200, PAGE_SIZE);
  std::memset(sensePage.data(), 0x5A, PAGE_SIZE);
  std::memset(statusPage.data(), 0x5A, PAGE_SIZE);
  ASSERT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS);
  for (size_t i = 0; i < PAGE_SIZE; ++i) {
    if (i < 100 || i >= 118) {
      ASSERT_EQ(sensePage[i], 0x5A) << "sense page byte " << i;
    }
    if (i != 200) {
      ASSERT_EQ(statusPage[i], 0x5A) << "status page byte " << i;
    }
  }
  EXPECT_THAT(command.Sense(), ElementsAreArray(sim::FixedSense(0x3, 0x11, 0x00)));
  EXPECT_EQ(command.Status(), 0xC4);
}

// ---------------------------------------------------------------- memory the caller cannot give

struct BadMemory {
  const char* name;
  bool sense;  // the sense buffer, else the status byte
  Place place;
  bool kernelAddress;
  int past = 0;  // bytes past the placed buffer the block points
};

void PrintTo(const BadMemory& bad, std::ostream* out) { *out << bad.name; }

class BadMemoryTest : public PassThroughTest, public ::testing::WithParamInterface<BadMemory> {};

TEST_P(BadMemoryTest, FailsWithTheProbesExceptionAndLeavesNothingLocked) {
  const BadMemory& bad = GetParam();
  CommandBuilder builder;
  builder.Cdb({0x00, 0, 0, 0, 0, 0});
  if (bad.sense) builder.SenseAt(bad.place); else builder.StatusAt(bad.place);
  UserCommand command = builder.Build(world);
  static UCHAR kernelByte[18];
  SCSISCAN_CMD block = command.Block();
  PUCHAR& address = bad.sense ? block.pSenseBuffer : block.pSrbStatus;
  address = bad.kernelAddress ? kernelByte : address + bad.past;
  command.SetBlock(block);
  host::IoResult result = PassThrough(*a, command);
  EXPECT_EQ(result.status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(result.information, 0u);
  EXPECT_THAT(Executed(), IsEmpty());
  EXPECT_EQ(world.mdls.LockedCount(), 0u);
  EXPECT_EQ(world.mdls.Count(), 0u);
  EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachPlace, BadMemoryTest,
    Values(BadMemory{"StatusUnmapped", false, Place::Unmapped(), false},
           BadMemory{"StatusReadOnly", false, Place::ReadOnly(), false},
           BadMemory{"StatusInKernelMemory", false, Place::At(0), true},
           BadMemory{"StatusOneBytePastItsRange", false, Place::At(PAGE_SIZE - 1), false, 1},
           BadMemory{"SenseUnmapped", true, Place::Unmapped(), false},
           BadMemory{"SenseReadOnly", true, Place::ReadOnly(8), false},
           BadMemory{"SenseInKernelMemory", true, Place::At(0), true},
           BadMemory{"SenseAcrossAPageEndIntoNothing", true, Place::AcrossPageEnd(10, host::Access::None), false},
           BadMemory{"SenseAcrossAPageEndIntoReadOnly", true, Place::AcrossPageEnd(17, host::Access::Read), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PassThroughTest, AStatusByteAcrossNothingButInItsOwnPageIsServed) {
  UserCommand command = CommandBuilder().Cdb({0x00, 0, 0, 0, 0, 0}).StatusAt(Place::At(PAGE_SIZE - 1))
                            .SenseAt(Place::AcrossPageEnd(18, host::Access::None)).Build(world);
  EXPECT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS) << "the last byte of a page is the caller's";
  EXPECT_EQ(command.Status(), SRB_STATUS_SUCCESS);
}

// ---------------------------------------------------------------- allocations and mappings that fail

struct ResourceFailure {
  const char* name;
  host::Fault site;
  int nth;
  NTSTATUS status;
};

void PrintTo(const ResourceFailure& failure, std::ostream* out) { *out << failure.name; }

class ResourceFailureTest : public PassThroughTest, public ::testing::WithParamInterface<ResourceFailure> {};

TEST_P(ResourceFailureTest, FailsWithNothingSentNothingLockedNothingLeft) {
  world.faults.Fail(GetParam().site).Nth(GetParam().nth);
  void* data = world.user.Alloc(4096);
  UserCommand command = CommandBuilder().Cdb({0x08, 0, 0, 0x10, 0, 0}).DataIn(4096).Build(world);
  host::IoResult result = PassThrough(*a, command, data, 4096);
  EXPECT_EQ(result.status, GetParam().status);
  EXPECT_THAT(Executed(), IsEmpty());
  EXPECT_EQ(world.mdls.LockedCount(), 0u);
  EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachSite, ResourceFailureTest,
    Values(ResourceFailure{"Context", host::Fault::PoolAllocation, 1, STATUS_INVALID_PARAMETER},
           ResourceFailure{"SenseMdl", host::Fault::MdlCreation, 1, STATUS_INSUFFICIENT_RESOURCES},
           ResourceFailure{"StatusMdl", host::Fault::MdlCreation, 2, STATUS_INSUFFICIENT_RESOURCES},
           ResourceFailure{"SenseMapping", host::Fault::MdlMapping, 1, STATUS_INSUFFICIENT_RESOURCES},
           ResourceFailure{"StatusMapping", host::Fault::MdlMapping, 2, STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- what it costs

TEST_F(PassThroughTest, APassThroughCostsOneAllocationAndTwoMdlsWhateverItsLength) {
  for (ULONG length : {0u, 4096u, 10u * 65536u}) {
    SCOPED_TRACE(length);
    void* data = length ? world.user.Alloc(length) : nullptr;
    CommandBuilder builder;
    builder.Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    if (length) builder.DataIn(length);
    UserCommand command = builder.Build(world);
    uint64_t pool = world.pool.Allocations(host::kUntaggedPoolTag);
    uint64_t mdls = world.mdls.MadeByDrivers();
    ASSERT_EQ(PassThrough(*a, command, data, length).information, length);
    EXPECT_EQ(world.pool.Allocations(host::kUntaggedPoolTag) - pool, 1u);
    EXPECT_EQ(world.mdls.MadeByDrivers() - mdls, 2u);
  }
}

TEST_F(PassThroughTest, AChunkThatSucceedsWithoutMovingAByteEndsTheRequest) {
  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::Good(0));
  void* data = world.user.Alloc(3 * 65536);
  UserCommand command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(3 * 65536).Build(world);
  host::IoResult result = PassThrough(*a, command, data, 3 * 65536);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 65536u);
  EXPECT_EQ(Executed().size(), 2u) << "not sent again and again";
}
