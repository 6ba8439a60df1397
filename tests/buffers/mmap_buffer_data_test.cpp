// Shared-memory frame storage against real files in /dev/shm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/interprocess/exceptions.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "buffers/buffer.h"
#include "buffers/buffer_storage.h"
#include "buffers/shm_space.h"
#include "tests/support/log_capture.h"
#include "tests/support/shm_files.h"

namespace frix {
namespace {

using test::shm_exists;
using test::shm_path;

// A reference: the page size is set while statics are initialised, in no set order.
const unsigned long& page = BufferDataBase::PAGE_SIZE;

struct stat stat_of(const std::string& name) {
    struct stat info {};
    EXPECT_EQ(::stat(shm_path(name).c_str(), &info), 0) << name;
    return info;
}

// What a client sees when it reads the file itself.
std::string file_bytes(const std::string& name, unsigned long n) {
    std::string out(n, '\0');
    const int fd = ::open(shm_path(name).c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::pread(fd, out.data(), n, 0), static_cast<ssize_t>(n));
    ::close(fd);
    return out;
}

int native_error(const boost::interprocess::interprocess_exception& e) {
    return e.get_native_error();
}

using MmapBufferDataTest = test::ShmTest;

TEST_F(MmapBufferDataTest, CreatesAFileOfMode0600ForItsOwnerWhateverTheUmask) {
    const std::string name = prefix + "0";
    const mode_t old_umask = ::umask(0);
    {
        MmapBufferData buffer(name, 1000, FileOwner{65534, 65533});
        ::umask(old_umask);
        EXPECT_EQ(buffer.name(), name);
        const struct stat info = stat_of(name);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65533u);
        EXPECT_EQ(static_cast<unsigned long>(info.st_size), page);
        EXPECT_EQ(buffer.capacity(), page);
        EXPECT_EQ(buffer.get_length(), 1000u);

        const std::string frame = "frame bytes in place";
        buffer.copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
        EXPECT_EQ(file_bytes(name, frame.size()), frame);
    }
    ::umask(old_umask);
    EXPECT_FALSE(shm_exists(name));
}

// The client owns its file and may shrink it under the daemon's mapping.
TEST_F(MmapBufferDataTest, AFileItsOwnerTruncatesCostsFramesNotTheDaemon) {
    const std::string name = prefix + "0";
    test::LogCapture log;
    {
        MmapBufferData buffer(name, 3 * page);
        ASSERT_EQ(::truncate(shm_path(name).c_str(), 0), 0);
        const std::string frame(3 * page, 'q');
        buffer.copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), frame.size()), frame);
        // Still the file's own name, so the client sees the loss, not somebody's data.
        EXPECT_EQ(stat_of(name).st_size, 0);
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Buffer file " + name + " was cut short by its client"),
              std::string::npos)
        << lines[0];
}

// Another mapping's fault is no buffer's business: it still ends the process.
void touch_a_truncated_foreign_file(const std::string& name) {
    MmapBufferData buffer(name, page);  // the handler is installed
    const int fd = ::open(shm_path(name + "x").c_str(), O_CREAT | O_RDWR, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(page)) != 0) std::_Exit(2);
    auto* foreign = static_cast<volatile char*>(
        ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ::unlink(shm_path(name + "x").c_str());
    if (::ftruncate(fd, 0) != 0) std::_Exit(3);
    foreign[0] = 1;
    std::_Exit(0);
}

TEST_F(MmapBufferDataTest, ABusErrorOutsideTheBuffersStillEndsTheProcess) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer takes SIGBUS itself and reports the death as an error";
#endif
    EXPECT_EXIT(touch_a_truncated_foreign_file(prefix + "0"), ::testing::KilledBySignal(SIGBUS),
                "");
    std::filesystem::remove(shm_path(prefix + "0"));
}

TEST_F(MmapBufferDataTest, ReplacesAStaleFileOfTheSameName) {
    const std::string name = prefix + "0";
    const int fd = ::open(shm_path(name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "stale frame", 11), 11);
    ::close(fd);

    std::unique_ptr<BufferData> buffer(MmapBufferData::CreateBufferData(name));
    const struct stat info = stat_of(name);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(buffer->data(), nullptr);
    EXPECT_EQ(buffer->capacity(), 0u);
}

TEST_F(MmapBufferDataTest, DestroyingTheSlotRemovesTheFileButNotAClientsMapping) {
    const std::string name = prefix + "0";
    auto slot = std::make_unique<Buffer>(0, new MmapBufferData(name, 5000));
    const std::string frame(5000, 'x');
    slot->data()->copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());

    const int fd = ::open(shm_path(name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    void* client = ::mmap(nullptr, 5000, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(client, MAP_FAILED);

    slot.reset();
    EXPECT_FALSE(shm_exists(name));
    EXPECT_EQ(std::string(static_cast<const char*>(client), 5000), frame);
    ::munmap(client, 5000);
}

TEST_F(MmapBufferDataTest, ResizingKeepsOneFileOfTheNewCapacity) {
    const std::string name = prefix + "0";
    MmapBufferData buffer(name, 1000);
    buffer.set_length(2 * page + 1, 0);
    EXPECT_EQ(static_cast<unsigned long>(stat_of(name).st_size), 3 * page);
    const std::string frame(2 * page + 1, 'y');
    buffer.copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    EXPECT_EQ(file_bytes(name, frame.size()), frame);
    EXPECT_EQ(test::shm_files_with_prefix(prefix).size(), 1u);
}

TEST_F(MmapBufferDataTest, MoreThanTheFreeSpaceIsRefusedWithoutHalfBuiltBuffers) {
    const auto free = shm_free_bytes();
    ASSERT_TRUE(free);
    // A gibibyte over: tests running beside this one may free their buffers meanwhile.
    const unsigned long too_much = (*free / page + 1) * page + (1UL << 30);
    const std::string text = "Could not allocate " + std::to_string(too_much) + " bytes of memory";

    const std::string name = prefix + "0";
    MmapBufferData buffer(name, 1000);
    unsigned char* const storage = buffer.data();
    try {
        buffer.set_length(too_much, 0);
        FAIL() << "no room in /dev/shm";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ENOMEM, std::generic_category()));
        EXPECT_EQ(std::string(e.what()).compare(0, text.size(), text), 0) << e.what();
    }
    EXPECT_EQ(buffer.data(), storage);
    EXPECT_EQ(buffer.capacity(), page);
    EXPECT_EQ(static_cast<unsigned long>(stat_of(name).st_size), page);

    const std::string other = prefix + "1";
    EXPECT_THROW(MmapBufferData(other, too_much), std::system_error);
    EXPECT_FALSE(shm_exists(other));
}

TEST_F(MmapBufferDataTest, ZeroBytesAreRefusedAndTheOldMappingStaysUsable) {
    const std::string name = prefix + "0";
    MmapBufferData buffer(name, 5000);
    const std::string frame(5000, 'z');
    buffer.copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    unsigned char* const storage = buffer.data();
    try {
        buffer.set_length(0, 0);
        FAIL() << "zero-byte mapping";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(native_error(e), EINVAL);
    }
    EXPECT_EQ(buffer.data(), storage);
    EXPECT_EQ(buffer.capacity(), 2 * page);
    EXPECT_EQ(static_cast<unsigned long>(stat_of(name).st_size), 2 * page);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 5000), frame);
}

// Grows the buffer with almost no address space left; the exit code tells what went wrong.
[[noreturn]] void grow_without_address_space(MmapBufferData& buffer) {
    unsigned long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = pages * page + (1ul << 20);
    const rlimit no_room{limit, limit};
    ::setrlimit(RLIMIT_AS, &no_room);
    try {
        buffer.set_length(64ul << 20, 0);
        std::_Exit(2);
    } catch (const boost::interprocess::interprocess_exception& e) {
        if (e.get_native_error() != ENOMEM) std::_Exit(3);
    }
    if (buffer.capacity() != 2 * page) std::_Exit(4);
    if (static_cast<unsigned long>(stat_of(buffer.name()).st_size) != 2 * page) std::_Exit(5);
    // Faults if the file was left shorter than the old mapping.
    const std::string frame(5000, 'k');
    buffer.copy_from(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    std::_Exit(0);
}

// A mapping that fails after the file grew must not leave the old mapping past the end
// of a file cut back to nothing: its pages would fault on the next write.
TEST_F(MmapBufferDataTest, AFailedMappingKeepsTheOldOneBacked) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory defeats an address-space limit";
#endif
    MmapBufferData buffer(prefix + "0", 5000);
    EXPECT_EXIT(grow_without_address_space(buffer), ::testing::ExitedWithCode(0), "");
}

TEST_F(MmapBufferDataTest, ANameThatCannotBeCreatedThrowsTheErrno) {
    try {
        MmapBufferData buffer(prefix + "/0", 0);
        FAIL() << "slash inside a shared-memory name";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(native_error(e), EINVAL);
    }
    // Whatever is left in the way after the stale file's removal is never opened.
    const std::string name = prefix + "0";
    ASSERT_EQ(::mkdir(shm_path(name).c_str(), 0700), 0);
    try {
        MmapBufferData buffer(name, 0);
        FAIL() << "directory in the way";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(native_error(e), EEXIST);
    }
    ::rmdir(shm_path(name).c_str());
}

}  // namespace
}  // namespace frix
