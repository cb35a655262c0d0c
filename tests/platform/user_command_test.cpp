// The test bed's pass-through command blocks: each buffer lands where the
// test placed it, with the access it was given.
#include "toy_drivers.h"
#include "user_command.h"

class UserCommandTest : public WorldTest {};

TEST_F(UserCommandTest, PlacesTheBlockAndItsBuffersAsToldAndFillsTheBlock) {
  UserCommand command = CommandBuilder()
                            .Cdb({0x12, 0, 0, 0, 36, 0})
                            .DataIn(36)
                            .SenseAt(Place::AcrossPageEnd(5, host::Access::None))
                            .StatusAt(Place::ReadOnly(PAGE_SIZE - 1))
                            .BlockAt(Place::At(100, host::Access::Read))
                            .Build(world);
  const SCSISCAN_CMD& block = command.Block();
  EXPECT_EQ(block.Size, sizeof(SCSISCAN_CMD));
  EXPECT_EQ(block.CdbLength, 6);
  EXPECT_EQ(block.Cdb[4], 36);
  EXPECT_EQ(block.SrbFlags, (ULONG)SRB_FLAGS_DATA_IN);
  EXPECT_EQ(block.TransferLength, 36u);
  EXPECT_EQ(block.SenseLength, 18);
  EXPECT_EQ(block.pSenseBuffer, command.sense);
  EXPECT_EQ(block.pSrbStatus, command.status);

  EXPECT_EQ(BYTE_OFFSET(command.block), 100u);
  EXPECT_TRUE(world.user.Accessible(command.block, sizeof(SCSISCAN_CMD), host::Access::Read));
  EXPECT_FALSE(world.user.Accessible(command.block, sizeof(SCSISCAN_CMD), host::Access::ReadWrite));
  EXPECT_EQ(BYTE_OFFSET(command.sense), PAGE_SIZE - 5);
  EXPECT_TRUE(world.user.Accessible(command.sense, 5, host::Access::ReadWrite));
  EXPECT_FALSE(world.user.Accessible(command.sense, 6, host::Access::Read));
  EXPECT_EQ(BYTE_OFFSET(command.status), PAGE_SIZE - 1);
  EXPECT_TRUE(world.user.Accessible(command.status, 1, host::Access::Read));
  EXPECT_FALSE(world.user.Accessible(command.status, 1, host::Access::ReadWrite));
}

TEST_F(UserCommandTest, AnAbsentSenseBufferAndUnmappedStatusAreWhatTheBlockSays) {
  UserCommand command = CommandBuilder().SenseLength(0).SenseAt(Place::Null()).StatusAt(Place::Unmapped()).Build(world);
  EXPECT_EQ(command.Block().pSenseBuffer, nullptr);
  EXPECT_EQ(command.Block().SenseLength, 0);
  ASSERT_NE(command.status, nullptr);
  EXPECT_FALSE(world.user.Accessible(command.status, 1, host::Access::Read));
}
