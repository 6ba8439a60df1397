// Growing, shrinking, initialising and checking the pool of a buffer manager.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/interprocess/exceptions.hpp>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "buffers/buffer_manager.h"
#include "buffers/mapping_offset.h"
#include "buffers/shm_space.h"
#include "tests/support/log_capture.h"
#include "tests/support/shm_files.h"

namespace frix {
namespace {

using test::shm_exists;
using test::shm_files_with_prefix;

// A reference: the page size is set while statics are initialised, in no set order.
const unsigned long& page = BufferDataBase::PAGE_SIZE;

void expect_files(const std::string& prefix, std::vector<std::string> suffixes) {
    std::vector<std::string> expected;
    for (const auto& s : suffixes) expected.push_back(prefix + s);
    auto actual = shm_files_with_prefix(prefix);
    std::sort(actual.begin(), actual.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(actual, expected);
}

BufferManager::InitFunction sized(unsigned long length) {
    return [length](BufferData& data, unsigned int, unsigned int) { data.set_length(length, 0); };
}

using BufferPool = test::ShmTest;

TEST(BufferPoolNames, DeviceNumbersNameTheFiles) {
    const std::string prefix = "frix_81_0i";
    {
        BufferManager manager;
        manager.resize_pool(4, prefix);
        ASSERT_EQ(manager.get_pool_size(), 4u);
        expect_files(prefix, {"0", "1", "2", "3"});
        manager.init_pool_buffers(sized(1000));
        for (unsigned long i = 0; i < 4; ++i) EXPECT_EQ(manager.get_v4l2buffer(i).index, i);

        manager.resize_pool(2, prefix);
        EXPECT_EQ(manager.get_pool_size(), 2u);
        expect_files(prefix, {"0", "1"});
    }
    expect_files(prefix, {});
}

TEST_F(BufferPool, GrowsShrinksAndClearsItsFiles) {
    BufferManager manager;
    manager.resize_pool(3, prefix);
    expect_files(prefix, {"0", "1", "2"});
    manager.init_pool_buffers([&](BufferData& data, unsigned index, unsigned) {
        auto* storage = dynamic_cast<MmapBufferData*>(&data);
        ASSERT_NE(storage, nullptr);
        EXPECT_EQ(storage->name(), prefix + std::to_string(index));
    });
    manager.resize_pool(5, prefix);
    expect_files(prefix, {"0", "1", "2", "3", "4"});
    manager.resize_pool(1, prefix);
    expect_files(prefix, {"0"});
    manager.clear_pool();
    EXPECT_EQ(manager.get_pool_size(), 0u);
    expect_files(prefix, {});

    // No prefix: heap storage for read(), no files at all.
    manager.resize_pool(2, "");
    EXPECT_EQ(manager.get_pool_size(), 2u);
    manager.init_pool_buffers([](BufferData& data, unsigned, unsigned) {
        EXPECT_NE(dynamic_cast<ReadBufferData*>(&data), nullptr);
    });
}

TEST_F(BufferPool, AFailedGrowthRestoresThePreviousPool) {
    BufferManager manager;
    manager.resize_pool(1, prefix);
    // The third of the new storages meets a directory where its file should go.
    ASSERT_EQ(::mkdir(test::shm_path(prefix + "3").c_str(), 0700), 0);
    test::LogCapture log;
    try {
        manager.resize_pool(4, prefix);
        FAIL() << "the storage for index 3 cannot be created";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(e.get_native_error(), EEXIST);
    }
    ::rmdir(test::shm_path(prefix + "3").c_str());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "<warning> [core] There is not enough memory to allocate 4 buffers"});
    EXPECT_EQ(manager.get_pool_size(), 1u);
    expect_files(prefix, {"0"});

    manager.resize_pool(4, prefix);
    expect_files(prefix, {"0", "1", "2", "3"});
}

TEST_F(BufferPool, InitialisesEverySlotInIndexOrder) {
    BufferManager manager;
    manager.init_pool_buffers({});  // nothing to call on an empty pool
    manager.resize_pool(3, prefix);
    std::vector<std::tuple<BufferData*, unsigned, unsigned>> calls;
    manager.init_pool_buffers([&](BufferData& data, unsigned index, unsigned count) {
        calls.emplace_back(&data, index, count);
        data.set_length(1000 * (index + 1), 0);
    });
    ASSERT_EQ(calls.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(std::get<1>(calls[i]), i);
        EXPECT_EQ(std::get<2>(calls[i]), 3u);
        EXPECT_EQ(manager.get_v4l2buffer(i).length, 1000 * (i + 1));
    }
    EXPECT_THROW(manager.init_pool_buffers({}), std::bad_function_call);
}

TEST_F(BufferPool, APoolLargerThanTheFreeSpaceIsRefused) {
    const auto free = shm_free_bytes();
    ASSERT_TRUE(free);
    // Each file fits alone and stays sparse; together they do not fit.
    const unsigned long each = (*free / 2 / page + 1) * page;
    BufferManager manager;
    manager.assert_allocated_memory();  // an empty pool always fits
    manager.resize_pool(2, prefix);
    manager.init_pool_buffers(sized(page));
    manager.assert_allocated_memory();

    // On a large /dev/shm such buffers also overflow the 32-bit offsets; they stay sized.
    try {
        manager.init_pool_buffers(sized(each));
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(EOVERFLOW, std::generic_category()));
    }
    const std::string text =
        "Cannot allocate required memory: " + std::to_string(2 * each) + " bytes";
    try {
        manager.assert_allocated_memory();
        FAIL() << "two halves of the free space and a bit";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ENOMEM, std::generic_category()));
        EXPECT_EQ(std::string(e.what()).compare(0, text.size(), text), 0) << e.what();
    }
}

TEST(MappingOffset, IsTheProductWhenItFitsIn32Bits) {
    EXPECT_EQ(mapping_offset(0, std::numeric_limits<unsigned long>::max()), 0u);
    EXPECT_EQ(mapping_offset(2, 8192), 16384u);
    EXPECT_EQ(mapping_offset(0xFFFFF, 4096), 0xFFFFF000u);
    EXPECT_FALSE(mapping_offset(0x100000, 4096));
    EXPECT_EQ(mapping_offset(0xFFFFFFFF, 1), 0xFFFFFFFFu);
    EXPECT_FALSE(mapping_offset(1, 0x100000000));
    EXPECT_FALSE(mapping_offset(std::numeric_limits<unsigned long>::max(), 2));
}

// Five buffers of 1.1 GiB would put the last offset past 4 GiB. The files are sparse
// and never touched, so this costs address space only.
TEST_F(BufferPool, OffsetsThatWouldWrapMakeTheCountFallInsteadOfAliasing) {
    const unsigned long each = 1100ul << 20;
    const auto free = shm_free_bytes();
    if (!free || *free < 5 * each) GTEST_SKIP() << "/dev/shm smaller than 5.5 GiB";

    // What the capture controller does after VIDIOC_REQBUFS: fewer until it works.
    BufferManager manager;
    unsigned long count = 5;
    std::vector<int> errors;
    for (; count > 0; --count) {
        try {
            manager.resize_pool(count, prefix);
            manager.init_pool_buffers(sized(each));
            manager.assert_allocated_memory();
            break;
        } catch (const std::system_error& e) {
            errors.push_back(e.code().value());
        }
    }
    EXPECT_EQ(errors, std::vector<int>{EOVERFLOW});
    ASSERT_EQ(count, 4u);
    std::set<std::uint32_t> offsets;
    for (unsigned long i = 0; i < count; ++i) {
        const v4l2_buffer record = manager.get_v4l2buffer(i);
        EXPECT_EQ(record.m.offset, i * record.length);
        offsets.insert(record.m.offset);
    }
    EXPECT_EQ(offsets.size(), 4u);
    manager.clear_pool();
}

}  // namespace
}  // namespace frix
