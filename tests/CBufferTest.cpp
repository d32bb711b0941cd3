// The byte queue between captured buffers and encoder chunks.
#include "capture/CBuffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> Sequence(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

} // namespace

TEST(CBufferTest, TakeOfMoreThanIsHeldChangesNothing) {
    CBuffer queue;
    std::vector<uint8_t> out(8, 0xEE);
    EXPECT_FALSE(queue.Take(out.data(), 1)) << "an empty queue has nothing to give";

    auto in = Sequence(5, 10);
    ASSERT_TRUE(queue.Append(in.data(), 5));
    EXPECT_FALSE(queue.Take(out.data(), 6));
    EXPECT_EQ(queue.Length(), 5u);
    EXPECT_EQ(out, std::vector<uint8_t>(8, 0xEE)) << "nothing copied on a refused take";

    ASSERT_TRUE(queue.Take(out.data(), 5)) << "exactly what is held";
    EXPECT_EQ(queue.Length(), 0u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5), in);
}

TEST(CBufferTest, RemainingBytesMoveToTheFrontInOrder) {
    CBuffer queue;
    auto in = Sequence(10);
    ASSERT_TRUE(queue.Append(in.data(), 10));
    std::vector<uint8_t> out(4);
    ASSERT_TRUE(queue.Take(out.data(), 4));
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 2, 3}));
    auto more = Sequence(3, 10);
    ASSERT_TRUE(queue.Append(more.data(), 3));
    std::vector<uint8_t> rest(9);
    ASSERT_TRUE(queue.Take(rest.data(), 9));
    EXPECT_EQ(rest, Sequence(9, 4));
}

TEST(CBufferTest, ZeroByteOperationsSucceedWithoutChange) {
    CBuffer queue;
    EXPECT_TRUE(queue.Append(nullptr, 0));
    EXPECT_TRUE(queue.Take(nullptr, 0));
    EXPECT_EQ(queue.Length(), 0u);
    EXPECT_FALSE(queue.Append(nullptr, 4)) << "no bytes to copy from";
    EXPECT_EQ(queue.Length(), 0u);
}

// Random appends and takes against a plain deque: every byte comes out once,
// in order, whatever the sizes.
TEST(CBufferTest, BehavesAsAQueueUnderRandomTraffic) {
    CBuffer queue;
    std::deque<uint8_t> model;
    std::mt19937 random(7);
    uint8_t next = 0;
    std::vector<uint8_t> out;
    for (int step = 0; step < 5000; ++step) {
        if (random() % 2) {
            std::vector<uint8_t> in(random() % 3000);
            for (auto& b : in)
                b = next++;
            ASSERT_TRUE(queue.Append(in.data(), static_cast<uint32_t>(in.size())));
            model.insert(model.end(), in.begin(), in.end());
        } else {
            uint32_t n = random() % 4000;
            out.assign(n, 0);
            bool took = queue.Take(out.data(), n);
            ASSERT_EQ(took, n <= model.size());
            if (took) {
                ASSERT_TRUE(std::equal(out.begin(), out.end(), model.begin()));
                model.erase(model.begin(), model.begin() + n);
            }
        }
        ASSERT_EQ(queue.Length(), model.size());
    }
}
