// read() frame storage: sizing, bounded writes, clearing, moves and giving pages back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "buffers/buffer.h"
#include "buffers/buffer_storage.h"

namespace frix {
namespace {

// A reference: the page size is set while statics are initialised, in no set order.
const unsigned long& page = BufferDataBase::PAGE_SIZE;

std::vector<unsigned char> bytes(unsigned long n, unsigned char first = 1) {
    std::vector<unsigned char> v(n);
    for (unsigned long i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(first + i);
    return v;
}

TEST(ReadBufferData, SetLengthRoundsCapacityUpToPages) {
    ASSERT_EQ(page, static_cast<unsigned long>(::sysconf(_SC_PAGESIZE)));
    struct Case {
        unsigned long length, min_capacity, capacity;
    };
    for (const Case c : {Case{1000, 0, page}, Case{page + 904, 2 * page + 808, 3 * page},
                         Case{2 * page, 0, 2 * page}, Case{1, 1, page}}) {
        ReadBufferData buffer;
        buffer.set_state(BufferState::Complete);
        buffer.mark_as_invalid();
        buffer.set_length(c.length, c.min_capacity);
        EXPECT_EQ(buffer.capacity(), c.capacity) << c.length << ", " << c.min_capacity;
        EXPECT_EQ(buffer.get_length(), c.length);
        EXPECT_EQ(buffer.size(), 0u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % page, 0u);
        // Sizing leaves the outcome of the last fill alone.
        EXPECT_EQ(buffer.get_state(), BufferState::Complete);
        EXPECT_FALSE(buffer.is_valid());
    }
    ReadBufferData sized(1000);
    EXPECT_EQ(sized.capacity(), page);
    sized.set_length(0, 0);
    EXPECT_EQ(sized.data(), nullptr);
    EXPECT_EQ(sized.capacity(), 0u);
}

TEST(ReadBufferData, ImpossibleLengthThrowsAndKeepsStorage) {
    ReadBufferData buffer(1000);
    unsigned char* const storage = buffer.data();
    EXPECT_THROW(buffer.set_length(std::numeric_limits<unsigned long>::max(), 0), std::bad_alloc);
    EXPECT_THROW(buffer.set_length(0, std::numeric_limits<unsigned long>::max() - 1),
                 std::bad_alloc);
    EXPECT_EQ(buffer.data(), storage);
    EXPECT_EQ(buffer.capacity(), page);
    EXPECT_EQ(buffer.get_length(), 1000u);
}

TEST(ReadBufferData, WritesAreBoundedByLengthNotCapacity) {
    ReadBufferData buffer(1000);
    const auto frame = bytes(1001);

    buffer.append(frame.data(), 600);
    buffer.append(frame.data() + 600, 400);
    EXPECT_EQ(buffer.size(), 1000u);
    EXPECT_EQ(std::memcmp(buffer.data(), frame.data(), 1000), 0);
    try {
        buffer.append(frame.data(), 1);
        FAIL() << "append past the length";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "buffer overflow");
    }
    EXPECT_EQ(buffer.size(), 1000u);

    buffer.resize(10);
    EXPECT_THROW(buffer.append(frame.data(), 991), std::overflow_error);
    EXPECT_EQ(buffer.size(), 10u);
    buffer.append(nullptr, 0);
    EXPECT_EQ(buffer.size(), 10u);

    buffer.resize(1000);
    EXPECT_EQ(buffer.size(), 1000u);
    EXPECT_THROW(buffer.resize(1001), std::overflow_error);
    EXPECT_EQ(buffer.size(), 1000u);

    const auto other = bytes(1001, 100);
    EXPECT_THROW(buffer.copy_from(other.data(), 1001), std::overflow_error);
    EXPECT_EQ(buffer.size(), 1000u);
    EXPECT_EQ(std::memcmp(buffer.data(), frame.data(), 1000), 0);
    buffer.copy_from(other.data(), 1000);
    EXPECT_EQ(buffer.size(), 1000u);
    EXPECT_EQ(std::memcmp(buffer.data(), other.data(), 1000), 0);
}

// Whether any mapping of this process covers address.
bool mapped(const unsigned char* address) {
    std::ifstream maps("/proc/self/maps");
    const auto where = reinterpret_cast<std::uintptr_t>(address);
    for (std::string line; std::getline(maps, line);) {
        std::istringstream range(line);
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        range >> std::hex >> start >> dash >> end;
        if (where >= start && where < end) return true;
    }
    return false;
}

TEST(ReadBufferData, AFramesPagesGoBackToTheSystemWithItsBuffer) {
    // A 1080p reader, then a 720p one: after a large block, a heap keeps smaller ones
    // in its own pages, which stay the daemon's long after the reader left.
    const unsigned long frame = 1920 * 1080 * 2, smaller = 1280 * 720 * 2;
    unsigned char* storage;
    {
        ReadBufferData buffer(frame);
        std::memset(buffer.data(), 0x5a, frame);
    }
    {
        ReadBufferData buffer(smaller);
        storage = buffer.data();
        std::memset(storage, 0x5a, smaller);
        ASSERT_TRUE(mapped(storage));
        buffer.set_length(smaller / 2, 0);
        EXPECT_FALSE(mapped(storage)) << "the old pages go with a new length";
        storage = buffer.data();
        std::memset(storage, 0x5a, smaller / 2);
    }
    EXPECT_FALSE(mapped(storage));
}

TEST(ReadBufferData, ClearReadiesForTheNextFrameAndKeepsStorage) {
    ReadBufferData buffer(1000);
    const auto frame = bytes(100);
    buffer.append(frame.data(), 100);
    buffer.set_state(BufferState::Error);
    buffer.mark_as_invalid();
    unsigned char* const storage = buffer.data();

    buffer.clear();
    EXPECT_EQ(buffer.get_state(), BufferState::Empty);
    EXPECT_TRUE(buffer.is_valid());
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.data(), storage);
    EXPECT_EQ(buffer.capacity(), page);
    EXPECT_EQ(buffer.get_length(), 1000u);
    EXPECT_EQ(std::memcmp(buffer.data(), frame.data(), 100), 0);
}

TEST(ReadBufferData, MovedFromStorageOwnsNothing) {
    ReadBufferData source(1000);
    const auto frame = bytes(10);
    source.append(frame.data(), 10);
    source.set_state(BufferState::Complete);
    unsigned char* const storage = source.data();

    ReadBufferData target(std::move(source));
    EXPECT_EQ(target.data(), storage);
    EXPECT_EQ(target.size(), 10u);
    EXPECT_EQ(target.capacity(), page);
    EXPECT_EQ(target.get_length(), 1000u);
    EXPECT_EQ(target.get_state(), BufferState::Complete);

    EXPECT_EQ(source.data(), nullptr);
    EXPECT_EQ(source.capacity(), 0u);
    EXPECT_THROW(source.append(frame.data(), 1), std::overflow_error);
    // Both destructors run; a double free would abort under the sanitizers.
}

TEST(Buffer, OwnsItsStorageAndMovesWithoutLinks) {
    auto* storage = new ReadBufferData(1000);
    Buffer slot(7, storage);
    EXPECT_EQ(slot.data(), storage);
    EXPECT_EQ(slot.record().index, 7u);
    v4l2_buffer zero{};
    zero.index = 7;
    EXPECT_EQ(std::memcmp(&slot.record(), &zero, sizeof zero), 0);
    EXPECT_FALSE(slot.is_queued());

    slot.record().sequence = 42;
    Buffer moved(std::move(slot));
    EXPECT_EQ(moved.data(), storage);
    EXPECT_EQ(moved.record().sequence, 42u);
    EXPECT_EQ(moved.record().index, 7u);
    EXPECT_FALSE(moved.is_queued());
    EXPECT_EQ(slot.data(), nullptr);
}

}  // namespace
}  // namespace frix
