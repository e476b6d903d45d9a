// Controller memories: addressing through 0x03-0x05, the data port 0x06,
// direction, auto-increment and bounds.
#include "sim_fixture.h"

namespace simtest {
namespace {

class Memories : public SimTest {};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

TEST_F(Memories, EveryBankAndMemoryHoldsItsOwnData) {
  const size_t sizes[3] = {16384, 16384, 4096};
  for (int bank = 0; bank < 3; ++bank) {
    for (int memory = 0; memory < 3; ++memory) {
      ASSERT_TRUE(WriteMemory(bank, memory, 0, Pattern(sizes[memory], static_cast<uint8_t>(bank * 3 + memory))));
    }
  }
  for (int bank = 0; bank < 3; ++bank) {
    for (int memory = 0; memory < 3; ++memory) {
      std::vector<uint8_t> back;
      ASSERT_TRUE(ReadMemory(bank, memory, 0, static_cast<uint32_t>(sizes[memory]), &back));
      EXPECT_EQ(back, Pattern(sizes[memory], static_cast<uint8_t>(bank * 3 + memory))) << bank << "/" << memory;
      EXPECT_EQ(scanner->Memory(bank, memory), back);
    }
  }
}

TEST_F(Memories, AddressIsFourteenBitsAndThePortAutoIncrements) {
  // The driver's example: memory 1, bank 2, address 0x1234.
  ASSERT_TRUE(WriteMemory(2, 1, 0x1234, {0xAA, 0xBB}));
  ASSERT_TRUE(session->WriteStream(0x06, {0xCC}));  // continues at 0x1236
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadMemory(2, 1, 0x1234, 3, &back));
  EXPECT_EQ(back, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(scanner->Memory(2, 1)[0x1236], 0xCC);
  EXPECT_EQ(Read(0x03) & 0x0F, 0);  // 0x03 reads as status, not the selection
}

TEST_F(Memories, TransfersPastTheEndFailAndWriteNothing) {
  EXPECT_TRUE(WriteMemory(0, 2, 0, std::vector<uint8_t>(4096, 1)));
  EXPECT_FALSE(WriteMemory(1, 2, 1, std::vector<uint8_t>(4096, 2)));
  EXPECT_EQ(scanner->Memory(1, 2)[4095], 0);
  std::vector<uint8_t> back;
  EXPECT_FALSE(ReadMemory(0, 0, 16380, 8, &back));
  EXPECT_TRUE(ReadMemory(0, 0, 16376, 8, &back));
}

TEST_F(Memories, BadSelectionOrDirectionFails) {
  EXPECT_FALSE(WriteMemory(3, 0, 0, {1}));
  EXPECT_FALSE(WriteMemory(0, 3, 0, {1}));
  // Writing through the port while the read direction is selected.
  Write(0x03, 0x00);
  Write(0x04, 0x40);
  Write(0x05, 0x00);
  EXPECT_FALSE(session->WriteStream(0x06, {1}));
  std::vector<uint8_t> back;
  Write(0x04, 0x00);
  EXPECT_FALSE(session->ReadStream(0x06, 1, &back));
}

TEST_F(Memories, CorruptedByteReadsBackInvertedAndPowerCycleClears) {
  ASSERT_TRUE(WriteMemory(1, 2, 0, Pattern(4096, 3)));
  scanner->CorruptMemory(1, 2, 4095);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadMemory(1, 2, 0, 4096, &back));
  auto expected = Pattern(4096, 3);
  EXPECT_EQ(back[4095], static_cast<uint8_t>(expected[4095] ^ 0xFF));
  EXPECT_TRUE(std::equal(back.begin(), back.end() - 1, expected.begin()));
  scanner->ClearFaults();
  scanner->PowerCycle();
  ASSERT_TRUE(ReadMemory(1, 2, 0, 4096, &back));
  EXPECT_EQ(back, std::vector<uint8_t>(4096, 0));
}

}  // namespace
}  // namespace simtest
