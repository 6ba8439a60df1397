// The frame path (queue, fill, make ready, dequeue) allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "buffers/buffer_manager.h"
#include "tests/support/shm_files.h"

namespace {

thread_local bool counting = false;
std::atomic<long> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    if (counting) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

// The compiler cannot see that the replacement new above got p from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
#pragma GCC diagnostic pop
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }

namespace frix {
namespace {

using FramePath = test::ShmTest;

TEST_F(FramePath, AllocatesNothing) {
    for (const std::string& kind : {std::string(), prefix}) {
        BufferManager manager;
        manager.resize_pool(4, kind);
        manager.init_pool_buffers(
            [](BufferData& data, unsigned, unsigned) { data.set_length(1000, 0); });
        manager.stream_on();
        for (unsigned long i = 0; i < 4; ++i) ASSERT_FALSE(manager.enqueue_free_buffer(i));
        const unsigned char bytes[16] = {1, 2, 3};

        allocations = 0;
        counting = true;
        std::uint32_t last_sequence = 0;
        for (int n = 0; n < 100; ++n) {
            Buffer* slot = manager.get_enqueued_buffer().first;
            slot->data()->clear();
            slot->data()->append(bytes, sizeof bytes);
            slot->data()->set_state(BufferState::Complete);
            manager.make_frame_ready_and_notify();
            const v4l2_buffer record = manager.dequeue_buffer();
            last_sequence = record.sequence;
            if (manager.enqueue_free_buffer(record.index)) break;
        }
        counting = false;
        EXPECT_EQ(allocations.load(), 0) << (kind.empty() ? "heap" : "shared memory");
        EXPECT_EQ(last_sequence, 99u);
    }
}

}  // namespace
}  // namespace frix
