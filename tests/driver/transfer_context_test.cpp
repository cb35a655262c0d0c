// The command block's checks, the transfer context and the size of its
// chunks, and the chunk's length written into a CDB.
#include "transport_fixture.h"

using ::testing::Values;

namespace {

// How each chunk of a transfer lies: its length and the pages it spans.
struct Chunk {
  ULONG length;
  ULONG pages;
};

std::vector<Chunk> Chunks(ULONG_PTR start, ULONG total, ULONG chunk) {
  std::vector<Chunk> chunks;
  for (ULONG done = 0; done < total;) {
    ULONG length = std::min(chunk, total - done);
    ULONG_PTR first = (start + done) / PAGE_SIZE, last = (start + done + length - 1) / PAGE_SIZE;
    chunks.push_back({length, (ULONG)(last - first + 1)});
    done += length;
  }
  return chunks;
}

}  // namespace

// ---------------------------------------------------------------- the checks

struct BlockCase {
  const char* name;
  std::function<void(SCSISCAN_CMD&, ULONG& bufferLength, PMDL& mdl)> change;
  bool accepted;
};

void PrintTo(const BlockCase& block, std::ostream* out) { *out << block.name; }

class CommandBlockTest : public TransportTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(CommandBlockTest, IsAcceptedOrRefusedAsItsFieldsSay) {
  SCSISCAN_CMD cmd = Command(512);
  ULONG bufferLength = sizeof(cmd);
  PMDL mdl = DataMdl(512);
  GetParam().change(cmd, bufferLength, mdl);
  PTRANSFER_CONTEXT context = BuildTransferContext(extension, &cmd, bufferLength, mdl);
  EXPECT_EQ(context != nullptr, GetParam().accepted);
  if (context != nullptr) {
    EXPECT_EQ(context->Cmd, &cmd);
    const host::PoolBlock* block = world.pool.Find(context);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->tag, host::kUntaggedPoolTag) << "untagged";
    EXPECT_EQ(block->type, NonPagedPoolNx);
    EXPECT_EQ(block->size, sizeof(TRANSFER_CONTEXT));
    ExFreePool(context);
  }
  EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u) << "a refusal allocates nothing";
}

INSTANTIATE_TEST_SUITE_P(
    EachCheck, CommandBlockTest,
    Values(BlockCase{"AsBuilt", [](SCSISCAN_CMD&, ULONG&, PMDL&) {}, true},
           BlockCase{"Buffer55", [](SCSISCAN_CMD&, ULONG& length, PMDL&) { length = 55; }, false},
           BlockCase{"Buffer60", [](SCSISCAN_CMD&, ULONG& length, PMDL&) { length = 60; }, true},
           BlockCase{"SizeOfA32BitCaller", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.Size = 44; }, false},
           BlockCase{"Cdb0", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.CdbLength = 0; }, false},
           BlockCase{"Cdb1", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.CdbLength = 1; }, true},
           BlockCase{"Cdb16", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.CdbLength = 16; }, true},
           BlockCase{"Cdb17", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.CdbLength = 17; }, false},
           BlockCase{"NoStatusByte", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.pSrbStatus = nullptr; }, false},
           BlockCase{"DataWithoutDirection", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.SrbFlags = 0; }, false},
           BlockCase{"DirectionWithoutData",
                     [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.TransferLength = 0; }, false},
           BlockCase{"BothDirections",
                     [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.SrbFlags = SRB_FLAGS_UNSPECIFIED_DIRECTION; }, true},
           BlockCase{"NoDataNoDirectionNoMdl",
                     [](SCSISCAN_CMD& cmd, ULONG&, PMDL& mdl) {
                       cmd.TransferLength = 0;
                       cmd.SrbFlags = 0;
                       mdl = nullptr;
                     },
                     true},
           BlockCase{"DataWithoutMdl", [](SCSISCAN_CMD&, ULONG&, PMDL& mdl) { mdl = nullptr; }, false},
           BlockCase{"OneByteMoreThanTheMdl", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.TransferLength = 513; }, false},
           BlockCase{"LessThanTheMdl", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.TransferLength = 1; }, true},
           BlockCase{"SenseLengthWithoutBuffer",
                     [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.pSenseBuffer = nullptr; }, false},
           BlockCase{"SenseBufferWithoutLength", [](SCSISCAN_CMD& cmd, ULONG&, PMDL&) { cmd.SenseLength = 0; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransportTest, AShortBufferIsRefusedBeforeAnyFieldPastItIsRead) {
  // The block's first 8 bytes end a page; whatever follows cannot be read.
  uint8_t* pages = (uint8_t*)mmap(nullptr, 2 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  mprotect(pages + PAGE_SIZE, PAGE_SIZE, PROT_NONE);
  auto* cmd = (PSCSISCAN_CMD)(pages + PAGE_SIZE - 8);
  cmd->Size = sizeof(SCSISCAN_CMD);
  EXPECT_EQ(BuildTransferContext(extension, cmd, 8, nullptr), nullptr);
  munmap(pages, 2 * PAGE_SIZE);
}

TEST_F(TransportTest, TransfersOfTwoGibibytesOrMoreAreRefused) {
  SCSISCAN_CMD cmd = Command(0x7FFFFFFF);
  PMDL mdl = MmCreateMdl(nullptr, (PVOID)(ULONG_PTR)0x10000000, 0x80000000u);
  mdls.push_back(mdl);
  PTRANSFER_CONTEXT context = BuildTransferContext(extension, &cmd, sizeof(cmd), mdl);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->RemainingLength, 0x7FFFFFFF);
  ExFreePool(context);
  cmd.TransferLength = 0x80000000u;
  EXPECT_EQ(BuildTransferContext(extension, &cmd, sizeof(cmd), mdl), nullptr)
      << "the signed byte counts would end such a transfer after one chunk";
}

TEST_F(TransportTest, TheContextStartsAtTheDataWithTheCallersSenseBufferAndNoData) {
  SCSISCAN_CMD cmd = Command(5000);
  PMDL mdl = DataMdl(5000, 0x123);
  PTRANSFER_CONTEXT context = BuildTransferContext(extension, &cmd, sizeof(cmd), mdl);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->DataPointer, (ULONG_PTR)MmGetMdlVirtualAddress(mdl));
  EXPECT_EQ(context->ChunkLength, 5000u) << "below both limits: one chunk";
  EXPECT_EQ(context->RemainingLength, 5000);
  EXPECT_EQ(context->TransferredLength, 0);
  EXPECT_EQ(context->RetryCount, 0);
  EXPECT_EQ(context->SenseBuffer, sense);
  EXPECT_EQ(context->SenseMdl, nullptr);
  EXPECT_EQ(context->StatusMdl, nullptr);
  SCSI_REQUEST_BLOCK zero{};
  EXPECT_EQ(std::memcmp(&context->Srb, &zero, sizeof(zero)), 0);
  ExFreePool(context);

  cmd = Command(0);
  context = BuildTransferContext(extension, &cmd, sizeof(cmd), nullptr);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->DataPointer, 0u);
  EXPECT_EQ(context->ChunkLength, 0u);
  EXPECT_EQ(context->RemainingLength, 0);
  ExFreePool(context);
}

// ---------------------------------------------------------------- the chunk

struct ChunkCase {
  const char* name;
  ULONG maximumTransfer, maximumPages;
  ULONG pageOffset, length;
  UCHAR cdbLength, opcode;
  ULONG chunk;  // 0: refused
};

void PrintTo(const ChunkCase& chunk, std::ostream* out) { *out << chunk.name; }

class ChunkTest : public TransportTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ChunkTest, RespectsBothLimitsForEveryChunkOrRefusesTheRequest) {
  const ChunkCase& c = GetParam();
  Limits(c.maximumTransfer, c.maximumPages);
  SCSISCAN_CMD cmd = Command(c.length);
  cmd.CdbLength = c.cdbLength;
  cmd.Cdb[0] = c.opcode;
  PMDL mdl = DataMdl(c.length, c.pageOffset);
  PTRANSFER_CONTEXT context = BuildTransferContext(extension, &cmd, sizeof(cmd), mdl);
  if (c.chunk == 0) {
    EXPECT_EQ(context, nullptr);
    return;
  }
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->ChunkLength, c.chunk);
  for (const Chunk& chunk : Chunks(context->DataPointer, c.length, context->ChunkLength)) {
    EXPECT_GT(chunk.length, 0u);
    EXPECT_LE(chunk.length, c.maximumTransfer);
    EXPECT_LE(chunk.pages, c.maximumPages) << "a chunk of " << chunk.length << " bytes";
  }
  ExFreePool(context);
}

INSTANTIATE_TEST_SUITE_P(
    EachAdapter, ChunkTest,
    Values(
        // The worked example: 200000 bytes at offset 0x200 span 17 pages per 64 KiB.
        ChunkCase{"WorkedExampleSeventeenPages", 65536, 17, 0x200, 200000, 10, 0x28, 65536},
        ChunkCase{"WorkedExampleSixteenPages", 65536, 16, 0x200, 200000, 10, 0x28, 61440},
        ChunkCase{"SixteenPagesAtOffset0", 65536, 16, 0, 200000, 10, 0x28, 65536},
        ChunkCase{"SixteenPagesAtOffset1", 65536, 16, 1, 200000, 10, 0x28, 61440},
        ChunkCase{"SixteenPagesAtOffsetFFF", 65536, 16, 0xFFF, 200000, 10, 0x28, 61440},
        ChunkCase{"SeventeenPagesAtOffsetFFF", 65536, 17, 0xFFF, 200000, 10, 0x28, 65536},
        ChunkCase{"BelowBothLimits", 65536, 17, 0x10, 3000, 10, 0x28, 3000},
        // A limit that is not a whole number of pages moves later chunks to
        // other offsets: the chunk must fit the page limit at each.
        ChunkCase{"TransferLimitNotWholePages", 66048, 17, 0, 300000, 10, 0x28, 65536},
        // Degenerate adapters.
        ChunkCase{"NoTransferLength", 0, 17, 0, 4096, 10, 0x28, 0},
        ChunkCase{"NoPages", 65536, 0, 0, 4096, 10, 0x28, 0},
        ChunkCase{"OnePageAlignedBuffer", 4096, 1, 0, 3 * 4096, 10, 0x28, 4096},
        ChunkCase{"OnePageUnalignedBuffer", 4096, 1, 0x200, 3 * 4096, 10, 0x28, 0},
        ChunkCase{"OnePageWithinAPage", 65536, 1, 0x200, 1000, 10, 0x28, 1000},
        ChunkCase{"OnePageLargeTransferLimit", 65536, 1, 0, 65536, 10, 0x28, 0},
        // Chunks a CDB cannot state: 24 bits in a 10-byte CDB, 16 for 0x34.
        ChunkCase{"TenByteCdbSixteenMebibytes", 32u << 20, 100000, 0, 16u << 20, 10, 0x28, 0xFFF000},
        ChunkCase{"TenByteCdbTwentyMebibytes", 32u << 20, 100000, 0, 20u << 20, 10, 0x28, 0xFFF000},
        ChunkCase{"TenByteCdbJustStatable", 32u << 20, 100000, 0, 0xFFF000, 10, 0x28, 0xFFF000},
        ChunkCase{"GetDataBufferStatusSixteenBits", 32u << 20, 100000, 0, 0x20000, 10, 0x34, 0xF000},
        ChunkCase{"SixByteReadStatesTwentyFourBits", 32u << 20, 100000, 0, 20u << 20, 6, 0x08, 0xFFF000},
        ChunkCase{"OtherSixByteCdbIsTheCallersOwn", 32u << 20, 100000, 0, 20u << 20, 6, 0x1C, 20u << 20},
        ChunkCase{"TwelveByteCdbIsTheCallersOwn", 32u << 20, 100000, 0, 20u << 20, 12, 0xA8, 20u << 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChunkLimitTest, LowersTheChunkOnlyWhereItWouldBeMisstated) {
  TRANSFER_CONTEXT context{};
  context.ChunkLength = 0x1000000;  // 16 MiB: 25 bits
  LimitChunkLength(&context, LARGEST_STATED_CHUNK(24));
  EXPECT_EQ(context.ChunkLength, 0xFFF000u);
  LimitChunkLength(&context, LARGEST_STATED_CHUNK(24));
  EXPECT_EQ(context.ChunkLength, 0xFFF000u);
  context.ChunkLength = 65536;
  LimitChunkLength(&context, LARGEST_STATED_CHUNK(24));
  EXPECT_EQ(context.ChunkLength, 65536u);
  EXPECT_EQ(LARGEST_STATED_CHUNK(16), 0xF000u);
}

// ---------------------------------------------------------------- the CDB's length

TEST(CdbLengthTest, WritesTheLowTwentyFourBitsBigEndianAndForGetDataBufferStatusSixteen) {
  UCHAR cdb[10];
  std::memset(cdb, 0xEE, sizeof(cdb));
  cdb[0] = 0x28;
  SetCdbTransferLength(cdb, 0x012345);
  EXPECT_EQ(cdb[6], 0x01);
  EXPECT_EQ(cdb[7], 0x23);
  EXPECT_EQ(cdb[8], 0x45);
  EXPECT_EQ(cdb[5], 0xEE);
  EXPECT_EQ(cdb[9], 0xEE);

  cdb[0] = 0x34;
  cdb[6] = 0x77;
  SetCdbTransferLength(cdb, 0x012345);
  EXPECT_EQ(cdb[6], 0x77) << "byte 6 is not part of 0x34's length";
  EXPECT_EQ(cdb[7], 0x23);
  EXPECT_EQ(cdb[8], 0x45);

  cdb[0] = 0x28;
  SetCdbTransferLength(cdb, 0x01000000);
  EXPECT_EQ(cdb[6], 0);
  EXPECT_EQ(cdb[7], 0);
  EXPECT_EQ(cdb[8], 0);
}
