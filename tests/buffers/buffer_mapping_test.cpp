// Resolving a client's mmap() of the device node to a shared-memory buffer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "buffers/buffer_manager.h"
#include "tests/support/buffer_pool.h"
#include "tests/support/shm_files.h"

namespace frix {
namespace {

const std::error_code einval(EINVAL, std::generic_category());
const std::error_code eacces(EACCES, std::generic_category());

class BufferMapping : public test::ShmTest {
protected:
    void SetUp() override {
        test::make_pool(manager, 3, 5000, prefix);
        // The client's VIDIOC_QUERYBUF comes before its mmap().
        for (unsigned long i = 0; i < 3; ++i) records[i] = manager.get_v4l2buffer(i);
        capacity = 2 * BufferDataBase::PAGE_SIZE;
    }

    void TearDown() override {
        manager.clear_pool();
        ShmTest::TearDown();
    }

    MmapRequest request(std::int64_t offset, std::uint64_t length = 5000, int prot = PROT_READ,
                        int flags = MAP_SHARED) {
        MmapRequest r;
        r.length = length;
        r.prot = prot;
        r.flags = flags;
        r.offset = offset;
        return r;
    }

    BufferManager manager;
    v4l2_buffer records[3];
    unsigned long capacity = 0;
};

TEST_F(BufferMapping, OffsetAndLengthNameTheBuffer) {
    for (unsigned long i = 0; i < 3; ++i) {
        EXPECT_EQ(records[i].m.offset, i * capacity);
        EXPECT_EQ(records[i].length, 5000u);
    }
    unsigned long index = 99;
    EXPECT_FALSE(manager.find_buffer_for_mapping(request(2 * capacity), index));
    EXPECT_EQ(index, 2u);
    EXPECT_FALSE(manager.find_buffer_for_mapping(
        request(0, 5000, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE), index));
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(manager.find_buffer_for_mapping(request(capacity, 5000, PROT_WRITE), index));
    EXPECT_EQ(index, 1u);
}

TEST_F(BufferMapping, RefusesWhatNamesNoBuffer) {
    unsigned long index = 99;
    EXPECT_EQ(manager.find_buffer_for_mapping(request(0, 5000, PROT_READ, MAP_PRIVATE), index),
              einval);
    EXPECT_EQ(
        manager.find_buffer_for_mapping(request(0, 5000, PROT_READ, MAP_SHARED | MAP_FIXED), index),
        einval);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(0, 5000, PROT_NONE), index), eacces);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(0, 5000, PROT_EXEC), index), eacces);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(3 * capacity), index), einval);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(capacity / 2), index), einval);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(-static_cast<std::int64_t>(capacity)), index),
              einval);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(capacity, 4096), index), einval);
    EXPECT_EQ(manager.find_buffer_for_mapping(request(capacity + (1ll << 32)), index), einval);
    EXPECT_EQ(index, 99u);
}

TEST_F(BufferMapping, TheClientSeesTheFrameInTheFileItMaps) {
    manager.enqueue_free_buffer(2);
    manager.stream_on();
    Buffer* slot = manager.get_enqueued_buffer().first;
    const std::string frame(5000, 'f');
    slot->data()->copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    manager.make_frame_ready_and_notify();
    const v4l2_buffer done = manager.dequeue_buffer();

    unsigned long index = 99;
    ASSERT_FALSE(manager.find_buffer_for_mapping(request(done.m.offset, done.length), index));
    const int fd = ::open(test::shm_path(prefix + std::to_string(index)).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    void* client = ::mmap(nullptr, done.length, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(client, MAP_FAILED);
    EXPECT_EQ(std::string(static_cast<const char*>(client), done.bytesused), frame);
    ::munmap(client, done.length);
}

}  // namespace
}  // namespace frix
