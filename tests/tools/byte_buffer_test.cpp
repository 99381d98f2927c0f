// The growable buffer: creation, appends that grow it, and the refusals.
#include "byte_buffer.h"

#include "tools_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace ryx_test {
namespace {

TEST(ByteBuffer, CreatedZeroFilledAndEmpty) {
    const std::unique_ptr<ByteBuffer> buffer = ByteBuffer::Create(1024);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->Capacity(), 1024u);
    EXPECT_EQ(buffer->Length(), 0u);
    const std::vector<uint8_t> zeros(1024, 0);
    EXPECT_EQ(std::memcmp(buffer->Data(), zeros.data(), zeros.size()), 0);
}

TEST(ByteBuffer, AppendGrowsByTheAppendedCount) {
    test::TempStream out;
    const std::unique_ptr<ByteBuffer> buffer = ByteBuffer::Create(4);
    ASSERT_TRUE(buffer);
    const uint8_t first[] = {1, 2, 3};
    ASSERT_TRUE(buffer->Append(first, 3, out.get()));
    EXPECT_EQ(buffer->Capacity(), 4u);
    const uint8_t second[] = {4, 5, 6};
    ASSERT_TRUE(buffer->Append(second, 3, out.get()));
    EXPECT_EQ(buffer->Capacity(), 7u);  // enlarged by 3, the count appended
    EXPECT_EQ(buffer->Length(), 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer->Data(), buffer->Data() + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    buffer->Clear();
    EXPECT_EQ(buffer->Length(), 0u);
    EXPECT_EQ(buffer->Capacity(), 7u);
    EXPECT_EQ(out.Text(), "");
}

TEST(ByteBuffer, RefusalsChangeNothing) {
    test::TempStream out;
    const std::unique_ptr<ByteBuffer> buffer = ByteBuffer::Create(2);
    ASSERT_TRUE(buffer);
    const uint8_t byte = 0x90;
    EXPECT_FALSE(buffer->Append(nullptr, 1, out.get()));
    EXPECT_FALSE(buffer->Append(&byte, 0, out.get()));
    EXPECT_FALSE(buffer->Enlarge(0, out.get()));
    EXPECT_EQ(buffer->Length(), 0u);
    EXPECT_EQ(buffer->Capacity(), 2u);
    EXPECT_EQ(out.Text(), "");  // these refusals are silent
}

TEST(ByteBuffer, CapacityPast32BitsFailsWithTheMessage) {
    test::TempStream out;
    const std::unique_ptr<ByteBuffer> buffer = ByteBuffer::Create(16);
    ASSERT_TRUE(buffer);
    const uint8_t bytes[] = {0xAB, 0xCD};
    ASSERT_TRUE(buffer->Append(bytes, 2, out.get()));
    EXPECT_FALSE(buffer->Enlarge(UINT32_MAX, out.get()));
    EXPECT_EQ(out.Text(), "Error: Not enough memory\n");
    // The old storage is kept.
    EXPECT_EQ(buffer->Capacity(), 16u);
    EXPECT_EQ(buffer->Length(), 2u);
    EXPECT_EQ(buffer->Data()[0], 0xAB);
    EXPECT_EQ(buffer->Data()[1], 0xCD);
}

TEST(ByteBuffer, EnlargeKeepsTheContent) {
    test::TempStream out;
    const std::unique_ptr<ByteBuffer> buffer = ByteBuffer::Create(1);
    ASSERT_TRUE(buffer);
    const uint8_t byte = 0x5A;
    ASSERT_TRUE(buffer->Append(&byte, 1, out.get()));
    ASSERT_TRUE(buffer->Enlarge(1 << 20, out.get()));
    EXPECT_EQ(buffer->Capacity(), 1u + (1u << 20));
    EXPECT_EQ(buffer->Data()[0], 0x5A);
}

}  // namespace
}  // namespace ryx_test
