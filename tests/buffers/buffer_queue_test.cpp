// The free and ready queues of the buffer manager as the capture thread and clients use them.
#include <gtest/gtest.h>
#include <time.h>

#include <boost/thread/thread.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "buffers/buffer_manager.h"
#include "tests/support/buffer_pool.h"

namespace frix {
namespace {

using namespace std::chrono_literals;

const std::error_code einval(EINVAL, std::generic_category());

constexpr unsigned queued = V4L2_BUF_FLAG_QUEUED, done = V4L2_BUF_FLAG_DONE;

class BufferQueues : public ::testing::Test {
protected:
    BufferQueues() { test::make_pool(manager, 3, 1000); }

    unsigned flags(unsigned long index) {
        return manager.get_v4l2buffer(index).flags & (queued | done | V4L2_BUF_FLAG_ERROR);
    }

    // One frame as the capture thread makes it; returns the slot it filled.
    unsigned capture(const std::string& bytes, BufferState state = BufferState::Complete) {
        auto [slot, was_empty] = manager.get_enqueued_buffer();
        EXPECT_FALSE(was_empty);
        slot->data()->clear();
        slot->data()->append(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        slot->data()->set_state(state);
        manager.make_frame_ready_and_notify();
        return slot->record().index;
    }

    BufferManager manager;
};

TEST_F(BufferQueues, ASlotGoesThroughAFullCycle) {
    EXPECT_EQ(flags(0), 0u);
    ASSERT_FALSE(manager.enqueue_free_buffer(0));
    EXPECT_EQ(flags(0), queued);
    EXPECT_EQ(manager.get_v4l2buffer(0).bytesused, 0u);
    EXPECT_FALSE(manager.is_frame_ready());

    manager.stream_on();
    EXPECT_EQ(capture("first frame"), 0u);
    EXPECT_EQ(flags(0), done);
    EXPECT_TRUE(manager.is_frame_ready());
    EXPECT_EQ(manager.get_frame(), manager.get_frame());
    ASSERT_NE(manager.get_frame(), nullptr);
    EXPECT_EQ(manager.get_frame()->record().index, 0u);

    const v4l2_buffer record = manager.dequeue_buffer();
    EXPECT_EQ(record.index, 0u);
    EXPECT_EQ(record.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(record.field, V4L2_FIELD_NONE);
    EXPECT_EQ(record.memory, static_cast<std::uint32_t>(V4L2_MEMORY_MMAP));
    EXPECT_EQ(record.flags & (queued | done | V4L2_BUF_FLAG_ERROR), 0u) << "the client holds it";
    EXPECT_EQ(record.bytesused, 11u);
    EXPECT_EQ(record.length, 1000u);
    EXPECT_EQ(record.sequence, 0u) << "a stream counts its frames from 0";
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double taken = record.timestamp.tv_sec + record.timestamp.tv_usec / 1e6;
    EXPECT_NEAR(taken, now.tv_sec + now.tv_nsec / 1e9, 5.0) << "a CLOCK_MONOTONIC time";
    EXPECT_EQ(record.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
    EXPECT_EQ(record.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK, V4L2_BUF_FLAG_TSTAMP_SRC_EOF);
    EXPECT_EQ(record.reserved, 0u);
    EXPECT_EQ(record.reserved2, 0u);
    EXPECT_EQ(flags(0), 0u);
    EXPECT_FALSE(manager.is_frame_ready());
    EXPECT_EQ(manager.get_frame(), nullptr);

    for (unsigned long i = 0; i < 3; ++i) {
        const v4l2_buffer r = manager.get_v4l2buffer(i);
        EXPECT_EQ(r.m.offset, i * BufferDataBase::PAGE_SIZE);
        EXPECT_EQ(r.reserved, 0u);
        EXPECT_EQ(r.reserved2, 0u);
    }
}

TEST_F(BufferQueues, SequenceNumbersRestartWithEachStream) {
    manager.stream_on();
    ASSERT_FALSE(manager.enqueue_free_buffer(1));
    capture("a");
    EXPECT_EQ(manager.dequeue_buffer().sequence, 0u);
    manager.stream_on();
    ASSERT_FALSE(manager.enqueue_free_buffer(1));
    capture("a");
    EXPECT_EQ(manager.dequeue_buffer().sequence, 1u)
        << "a second STREAMON while on is no new stream";

    manager.stream_off();
    manager.resize_pool(2, "");
    manager.init_pool_buffers([](BufferData& data, unsigned, unsigned) { data.set_length(1, 0); });
    manager.stream_on();
    ASSERT_FALSE(manager.enqueue_free_buffer(1));
    ASSERT_FALSE(manager.enqueue_free_buffer(0));
    capture("b");
    capture("c");
    const v4l2_buffer second = manager.dequeue_buffer();
    EXPECT_EQ(second.index, 1u);
    EXPECT_EQ(second.sequence, 0u);
    EXPECT_EQ(manager.dequeue_buffer().sequence, 1u);
}

TEST_F(BufferQueues, KeepsFifoOrderInBothQueues) {
    manager.stream_on();
    for (unsigned long i : {2, 0, 1}) ASSERT_FALSE(manager.enqueue_free_buffer(i));
    std::vector<unsigned> filled;
    for (int n = 0; n < 3; ++n) filled.push_back(capture("x"));
    EXPECT_EQ(filled, (std::vector<unsigned>{2, 0, 1}));
    EXPECT_EQ(manager.get_frame()->record().index, 1u);  // the newest
    std::vector<unsigned> dequeued;
    for (int n = 0; n < 3; ++n) dequeued.push_back(manager.dequeue_buffer().index);
    EXPECT_EQ(dequeued, filled);
}

TEST_F(BufferQueues, RefusesWhatMatchesNoFreeSlot) {
    ASSERT_FALSE(manager.enqueue_free_buffer(0));
    EXPECT_EQ(manager.enqueue_free_buffer(0), einval);  // already in the free queue
    EXPECT_EQ(flags(0), queued);
    manager.stream_on();
    capture("x");
    EXPECT_EQ(manager.enqueue_free_buffer(0), einval);  // in the ready queue
    EXPECT_EQ(flags(0), done);
    EXPECT_EQ(manager.enqueue_free_buffer(3), einval);  // no such slot
    try {
        manager.get_v4l2buffer(3);
        FAIL() << "no slot 3";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), einval);
    }
    manager.dequeue_buffer();
    try {
        manager.dequeue_buffer();
        FAIL() << "nothing ready";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(EAGAIN, std::generic_category()));
    }
    EXPECT_FALSE(manager.enqueue_free_buffer(0));
}

TEST_F(BufferQueues, ABadFrameIsFlaggedOnlyWhileItIsBad) {
    manager.stream_on();
    ASSERT_FALSE(manager.enqueue_free_buffer(0));
    capture("broken", BufferState::Error);
    EXPECT_EQ(manager.dequeue_buffer().flags & V4L2_BUF_FLAG_ERROR, V4L2_BUF_FLAG_ERROR);
    EXPECT_EQ(flags(0), 0u);
    ASSERT_FALSE(manager.enqueue_free_buffer(0));
    capture("late", BufferState::Timeout);
    EXPECT_EQ(manager.dequeue_buffer().flags & V4L2_BUF_FLAG_ERROR, V4L2_BUF_FLAG_ERROR)
        << "a timed-out frame is no good frame";
    ASSERT_FALSE(manager.enqueue_free_buffer(0));
    capture("fine");
    EXPECT_EQ(manager.dequeue_buffer().flags & V4L2_BUF_FLAG_ERROR, 0u);
}

TEST_F(BufferQueues, ReadIoKeepsOneFrameAheadOfTheReaderAndNoMore) {
    manager.stream_on();
    manager.enqueue_free_buffers();
    manager.enqueue_free_buffers();
    EXPECT_EQ(flags(0), queued);
    EXPECT_EQ(flags(1) | flags(2), 0u) << "no frame is made that nobody reads";
    EXPECT_EQ(capture("a"), 0u);
    manager.enqueue_free_buffers();
    EXPECT_EQ(flags(1), 0u) << "the ready frame is served first";

    // While frame a goes out in pieces, the next is made.
    Buffer* const a = manager.get_frame();
    manager.set_read_in_progress(true);
    manager.enqueue_free_buffers();
    EXPECT_EQ(flags(1), queued);
    EXPECT_EQ(capture("b"), 1u);
    manager.set_read_in_progress(false);
    manager.pop_frame(a);
    ASSERT_TRUE(manager.is_frame_ready()) << "a frame made during the read is not thrown away";
    Buffer* const b = manager.get_frame();
    EXPECT_EQ(b->record().index, 1u);
    EXPECT_EQ(flags(0), 0u);

    // Its last piece still on its way, a frame's slot is not refilled.
    manager.pop_frame(b);
    EXPECT_EQ(flags(0), queued);
    EXPECT_EQ(capture("c"), 0u);
    Buffer* const c = manager.get_frame();
    {
        const BufferManager::FrameLoan loan(manager, *c);
        manager.pop_frame(c);
        EXPECT_EQ(flags(0), 0u);
        EXPECT_EQ(flags(1), queued);
    }
    EXPECT_EQ(capture("d"), 1u);

    // A frame left waiting for longer than a frame interval gives way to a newer one,
    // unless a poll has reported it or it is being read.
    const boost::chrono::microseconds interval(1);
    std::this_thread::sleep_for(2ms);
    manager.set_poll_in_use();
    manager.enqueue_free_buffers(interval);
    EXPECT_EQ(flags(1), done);
    manager.pop_frame();
    EXPECT_EQ(capture("e"), 0u);
    std::this_thread::sleep_for(2ms);
    manager.set_read_in_progress(true);
    manager.enqueue_free_buffers(interval);
    EXPECT_EQ(flags(0), done);
    EXPECT_EQ(flags(1), queued);
    manager.set_read_in_progress(false);
    manager.enqueue_free_buffers(boost::chrono::hours(1));
    EXPECT_EQ(flags(0), done) << "a fresh frame stays";
    manager.enqueue_free_buffers(interval);
    EXPECT_FALSE(manager.is_frame_ready());
    EXPECT_EQ(flags(0), 0u);
    EXPECT_EQ(flags(1), queued);

    manager.set_read_in_progress(true);
    manager.clear_in_out_queues();
    EXPECT_FALSE(manager.is_read_in_progress());
    EXPECT_EQ(flags(0), 0u);
}

TEST_F(BufferQueues, TheCaptureSideWaitsForStreamingAndForBuffers) {
    ASSERT_FALSE(manager.enqueue_free_buffer(1));
    auto first = std::async(std::launch::async, [&] { return manager.get_enqueued_buffer(); });
    EXPECT_EQ(first.wait_for(200ms), std::future_status::timeout) << "streaming is off";
    manager.stream_on();
    ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
    auto [slot, was_empty] = first.get();
    EXPECT_EQ(slot->record().index, 1u);
    EXPECT_FALSE(was_empty);
    manager.make_frame_ready_and_notify();

    auto second = std::async(std::launch::async, [&] { return manager.get_enqueued_buffer(); });
    EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout) << "the free queue is empty";
    ASSERT_FALSE(manager.enqueue_free_buffer(2));
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    const auto [next, had_to_wait] = second.get();
    EXPECT_EQ(next->record().index, 2u);
    EXPECT_TRUE(had_to_wait);
}

TEST_F(BufferQueues, InterruptingTheCaptureThreadEndsItsWait) {
    std::promise<bool> interrupted;
    boost::thread capture_thread([&] {
        try {
            manager.get_enqueued_buffer();
            interrupted.set_value(false);
        } catch (const boost::thread_interrupted&) {
            interrupted.set_value(true);
        }
    });
    capture_thread.interrupt();
    auto result = interrupted.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(result.get());
    capture_thread.join();
    // The manager's lock was given back.
    EXPECT_FALSE(manager.is_stream_on());
}

}  // namespace
}  // namespace frix
