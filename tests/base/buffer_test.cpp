#include "buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

buffer bytes(std::initializer_list<std::uint8_t> list)
{
    buffer b;
    for (std::uint8_t v : list)
        b.enqueue(&v, 1);
    return b;
}

void expect_overflow(const std::function<void()>& f)
{
    try {
        f();
        FAIL() << "no exception";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "buffer overflow");
    }
}

TEST(Buffer, StorageGrowsInZeroFilledGranules)
{
    buffer b;
    EXPECT_EQ(b.capacity(), 0u);
    EXPECT_EQ(b.c_ptr(), nullptr);
    b.reserve(1);
    ASSERT_EQ(b.capacity(), 256u);
    for (unsigned i = 0; i < 256; ++i)
        EXPECT_EQ(b.c_ptr()[i], 0) << i;
    const std::uint8_t* first = b.c_ptr();
    b.reserve(256);
    EXPECT_EQ(b.c_ptr(), first);
    b.enqueue("hello", 5);
    b.reserve(257);
    EXPECT_EQ(b.capacity(), 512u);
    EXPECT_EQ(std::memcmp(b.c_ptr(), "hello", 5), 0);
    for (unsigned i = 5; i < 512; ++i)
        ASSERT_EQ(b.c_ptr()[i], 0) << i;
}

TEST(Buffer, EmptyEnqueueAllocatesNothing)
{
    buffer b;
    b.enqueue("", 0);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.c_ptr(), nullptr);
}

TEST(Buffer, DequeueStopsAtTheEndWithoutMoving)
{
    buffer b = bytes({1, 2, 3, 4});
    std::uint8_t out[5] = {9, 9, 9, 9, 9};
    b.dequeue(out, 4);
    EXPECT_EQ(b.pos(), 4u);
    EXPECT_EQ(out[3], 4);
    out[0] = 7;
    expect_overflow([&] { b.dequeue(out, 1); });
    EXPECT_EQ(b.pos(), 4u);
    EXPECT_EQ(out[0], 7);
}

TEST(Buffer, PositionBounds)
{
    buffer b = bytes({1, 2, 3});
    b.pos(3);
    expect_overflow([&] { b.pos(4); });
    EXPECT_EQ(b.pos(), 3u);
    b.pos(1);
    b.advance(2);
    expect_overflow([&] { b.advance(1); });
    expect_overflow([&] { b.advance(UINT64_MAX); });
    EXPECT_EQ(b.pos(), 3u);
}

TEST(Buffer, ShrinkingBelowPositionRefusesEveryRead)
{
    buffer b;
    b.resize(16);
    b.pos(10);
    b.resize(4);
    EXPECT_EQ(b.pos(), 10u);
    std::uint8_t out;
    expect_overflow([&] { b.dequeue(&out, 0); });
    b.pos(0);
    b.dequeue(&out, 1);
}

TEST(Buffer, ByteOrders)
{
    buffer b = bytes({0, 0, 1, 2, 0, 0, 1, 2});
    std::uint32_t be = 0, le = 0;
    b.dequeue_be(be);
    b.dequeue(le);
    EXPECT_EQ(be, 258u);
    EXPECT_EQ(le, 0x02010000u);

    buffer c = bytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    std::uint64_t v64 = 0;
    c.dequeue_be(v64);
    EXPECT_EQ(v64, 0x0102030405060708ull);
    std::uint32_t more;
    expect_overflow([&] { c.dequeue_be(more); });
}

TEST(Buffer, EnqueueOfAnotherTakesItsUnreadPart)
{
    buffer src = bytes({1, 2, 3, 4});
    src.pos(2);
    buffer dst = bytes({9});
    dst.enqueue(src);
    ASSERT_EQ(dst.size(), 3u);
    EXPECT_EQ(dst.c_ptr()[1], 3);
    EXPECT_EQ(dst.c_ptr()[2], 4);
    EXPECT_EQ(src.pos(), 2u);
    dst.enqueue(dst);
    EXPECT_EQ(dst.size(), 6u);
}

TEST(Buffer, CopiesAreIndependentAndKeepPosition)
{
    buffer a = bytes({1, 2, 3});
    a.pos(2);
    buffer b;
    b = a;
    EXPECT_EQ(b.pos(), 2u);
    EXPECT_EQ(b.size(), 3u);
    b.c_ptr()[0] = 42;
    EXPECT_EQ(a.c_ptr()[0], 1);
    b.resize(200);  // grows inside the copied storage: the tail must be zero
    EXPECT_EQ(b.c_ptr()[150], 0);

    buffer empty;
    a = empty;
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.pos(), 0u);
    EXPECT_EQ(a.c_ptr(), nullptr);

    a = a;  // self-assignment keeps the (empty) state
    EXPECT_EQ(a.size(), 0u);
}

TEST(Buffer, ClearReleasesEverything)
{
    buffer b = bytes({1, 2});
    b.pos(1);
    b.clear();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.pos(), 0u);
    EXPECT_EQ(b.capacity(), 0u);
}

} // namespace
