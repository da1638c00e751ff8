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

TEST(WriteFileAtomically, AFailureKeepsThePreviousFileAndLeavesNothingBehind) {
    test::TempDir dir;
    const auto target = dir / "status.json";
    test::writeFile(target, "previous");
    // Root ignores permissions, so the failures are made by the paths and a file size limit,
    // which cuts the first write short and fails the next one with EFBIG.
    std::filesystem::create_directories(dir / "occupied");
    EXPECT_EQ(writeFileAtomically(dir / "occupied", "x"), std::errc::is_a_directory);
    EXPECT_EQ(writeFileAtomically(dir / "missing" / "status.json", "x"),
              std::errc::no_such_file_or_directory);
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const rlimit small{4, original.rlim_max};
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto error = writeFileAtomically(target, "a longer document");
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(error, std::errc::file_too_large);
    EXPECT_EQ(readSmallFile(target, 64), "previous");
    EXPECT_EQ(directoryEntries(dir.path()), (Names{"occupied", "status.json"}));
    EXPECT_TRUE(directoryEntries(dir / "occupied").empty());
}

TEST(ReadSmallFile, ReadsOnlyRegularFilesWithinTheLimit) {
    test::TempDir dir;
    const auto path = dir / "file";
    // Sizes at and one past the limit, the empty file included.
    const std::pair<std::size_t, std::size_t> sizeAndLimit[] = {
        {0, 0}, {1, 0}, {5000, 5000}, {5001, 5000}};
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
