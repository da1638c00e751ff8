#include "shared/AtomicFile.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace sollun {
namespace {

using test::directoryEntries;
using Names = std::vector<std::string>;

TEST(WriteFileAtomically, CreatesAndReplacesWithExactBytesAndDefaultMode) {
    test::TempDir dir;
    const auto target = dir / "status.json";
    const std::string binary{"a\0b\n\xff", 5};
    const mode_t previousMask = ::umask(027);
    for (const std::string& contents : {std::string{"first"}, binary, std::string{}}) {
        EXPECT_FALSE(writeFileAtomically(target, contents));
        EXPECT_EQ(readSmallFile(target, 64), contents);
    }
    ::umask(previousMask);
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"status.json"});
}

TEST(WriteFileAtomically, FailureLeavesNoTemporaryFileAndCreatesNoDirectory) {
    test::TempDir dir;
    // Root ignores permissions, so the failures are made by the paths themselves.
    std::filesystem::create_directories(dir / "occupied" / "child");
    EXPECT_EQ(writeFileAtomically(dir / "occupied", "x"), std::errc::is_a_directory);
    EXPECT_EQ(writeFileAtomically(dir / "missing" / "status.json", "x"),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(writeFileAtomically(dir / "occupied" / "child" / "", "x"), std::errc::is_a_directory);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"occupied"});
    EXPECT_EQ(directoryEntries(dir / "occupied"), Names{"child"});
}

TEST(WriteFileAtomically, FailedWriteKeepsThePreviousFile) {
    test::TempDir dir;
    const auto target = dir / "status.json";
    test::writeFile(target, "previous");

    // A file size limit fails a write part-way even for root: the first write is cut short, the
    // next one gets EFBIG.
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    rlimit small = original;
    small.rlim_cur = 4;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto error = writeFileAtomically(target, "a longer document");
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(error, std::errc::file_too_large);
    EXPECT_EQ(readSmallFile(target, 64), "previous");
    EXPECT_EQ(directoryEntries(dir.path()), Names{"status.json"});
}

TEST(ReadSmallFile, ReadsOnlyRegularFilesWithinTheLimit) {
    test::TempDir dir;
    const auto path = dir / "file";
    // Sizes at and one past the limit, the empty file included.
    const std::pair<std::size_t, std::size_t> sizeAndLimit[] = {
        {0, 0}, {1, 0}, {5000, 5000}, {5001, 5000}, {100'000, 1 << 20}};
    for (const auto& [size, limit] : sizeAndLimit) {
        const std::string contents(size, 'x');
        test::writeFile(path, contents);
        EXPECT_EQ(readSmallFile(path, limit),
                  size <= limit ? std::optional{contents} : std::nullopt)
            << size << " bytes, limit " << limit;
    }
    EXPECT_EQ(readSmallFile(dir / "missing", 64), std::nullopt);
    EXPECT_EQ(readSmallFile(dir.path(), 64), std::nullopt);
    EXPECT_EQ(readSmallFile("/dev/zero", 64), std::nullopt);
}

} // namespace
} // namespace sollun
