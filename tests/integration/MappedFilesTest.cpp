// Giving back the pages of files a waiting program no longer needs, against the real kernel.
#include "platform/linux/MappedFiles.h"
#include "tests/support/Files.h"
#include "tests/support/ProcessMemory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdio>

namespace ulvo {
namespace {

TEST(MappedFilesTest, OnlyFilesMappedSinceTheSnapshotLeaveMemory) {
    const test::ScratchFolder folder;
    const std::size_t size = 4 << 20;
    test::writeFile(folder / "mapped", std::string(size, 'x'));
    const std::set<std::string> before = mappedFiles();
    EXPECT_FALSE(before.empty());

    FILE* file = std::fopen((folder / "mapped").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, ::fileno(file), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    long sum = 0;
    for (std::size_t at = 0; at < size; at += 4096) {
        sum += static_cast<const char*>(mapped)[at];
    }
    EXPECT_GT(sum, 0);
    EXPECT_TRUE(mappedFiles().count((folder / "mapped").string()));
    const long touched = test::residentKilobytes();

    EXPECT_EQ(pageOutFilesExcept(mappedFiles()), 0U) << "a kept file was advised";
    EXPECT_GE(test::residentKilobytes(), touched - 400);
    EXPECT_GE(pageOutFilesExcept(before), size);
    EXPECT_LT(test::residentKilobytes(), touched - 3600) << "the pages stayed";
    EXPECT_EQ(static_cast<const char*>(mapped)[size - 1], 'x') << "the file reads the same afterwards";

    ::munmap(mapped, size);
    std::fclose(file);
}

} // namespace
} // namespace ulvo
