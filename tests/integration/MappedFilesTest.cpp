// Giving back the pages of files a waiting program no longer needs, against the real kernel.
#include "platform/linux/MappedFiles.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>

namespace ulvo {
namespace {

// Resident kB of the mapping that starts at `start`, from /proc/self/smaps: the process's whole resident
// size moves with every allocation (a sanitizer's most of all).
long residentKilobytes(const void* start) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lx-", reinterpret_cast<unsigned long>(start));
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.find('-') != std::string::npos && line.find(' ') > line.find('-') &&
            std::isxdigit(static_cast<unsigned char>(line[0])) != 0) {
            inside = line.rfind(prefix, 0) == 0;
        } else if (inside && line.rfind("Rss:", 0) == 0) {
            return std::stol(line.substr(4));
        }
    }
    return -1;
}

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
    EXPECT_GE(residentKilobytes(mapped), 4000);

    EXPECT_EQ(pageOutFilesExcept(mappedFiles()), 0U) << "a kept file was advised";
    EXPECT_GE(residentKilobytes(mapped), 4000);
    EXPECT_GE(pageOutFilesExcept(before), size);
    EXPECT_LT(residentKilobytes(mapped), 400) << "the pages stayed";
    EXPECT_EQ(static_cast<const char*>(mapped)[size - 1], 'x') << "the file reads the same afterwards";

    ::munmap(mapped, size);
    std::fclose(file);
}

} // namespace
} // namespace ulvo
