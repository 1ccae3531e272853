#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "image/image.h"
#include "support/pe_writer.h"

namespace vorn {
namespace {

using namespace vorn::test;

ResourceTree SmallTree() {
    ResourceTree tree;
    tree.types = {
        {"CUSTOM", {{"ITEM", {{1033, {1, 2, 3}, 1252}}}}},
        {3, {{1, {{1033, ByteVec(40, 0x11)}}}}},
        {14, {{"MAIN", {{1033, {1, 0, 1, 0, 16, 16}}}}}},
        {16, {{1, {{0, ByteVec(92, 0x22)}, {1033, ByteVec(92, 0x33)}}}}},
    };
    return tree;
}

PeShape ImageWithResources() {
    PeShape shape;
    shape.resources = SmallTree();
    return shape;
}

int OpenCode(const std::string& path, bool readOnly) {
    Image image;
    return ToInt(OpenImageForEdit(path.c_str(), image, readOnly));
}

int LayoutCode(const std::string& path, ImageLayout& layout) {
    auto stream = File::Open(path.c_str(), File::Mode::Read);
    return stream ? ToInt(ReadImageLayout(*stream, layout)) : -1;
}

int LayoutCode(const std::string& path) {
    ImageLayout layout;
    return LayoutCode(path, layout);
}

class FileFixture : public testing::Test {
protected:
    TempDir dir;
};
class Probe : public FileFixture {};
class Layout : public FileFixture {};
class Open : public FileFixture {};

TEST_F(Probe, FileLengthLeavesThePositionAlone) {
    auto stream = File::Open(dir.Write(ByteVec(1000, 7)).c_str(), File::Mode::Read);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->Seek(123));
    EXPECT_EQ(GetFileLength(*stream), 1000u);
    EXPECT_EQ(stream->Position(), 123u);

    auto empty = File::Open(dir.Write({}).c_str(), File::Mode::Read);
    ASSERT_TRUE(empty);
    EXPECT_EQ(GetFileLength(*empty), 0u);
}

TEST_F(Probe, Needs308Bytes) {
    ByteVec bytes = WritePe(ImageWithResources()).bytes;
    bytes.resize(308);
    const std::string fits = dir.Write(bytes);
    bytes.resize(307);
    const std::string shortByOne = dir.Write(bytes);

    EXPECT_TRUE(ProbePeFile(fits.c_str()));
    EXPECT_FALSE(ProbePeFile(shortByOne.c_str()));
    EXPECT_EQ(OpenCode(shortByOne, true), VornNotPeImage);
    // The probe passes, but the optional header is cut short.
    EXPECT_EQ(OpenCode(fits, true), VornNotPeImage);
}

TEST_F(Probe, RefusesWhatIsNotAPe32Image) {
    const WrittenPe pe = WritePe(ImageWithResources());
    const std::uint32_t fileHeader = pe.optionalHeaderOffset - 20;
    auto edited = [&](auto edit) {
        ByteVec bytes = pe.bytes;
        edit(bytes);
        return bytes;
    };
    PeShape plusShape = ImageWithResources();
    plusShape.pe32Plus = true;
    const std::vector<std::pair<const char*, ByteVec>> cases = {
        {"no MZ", edited([](ByteVec& b) { put16(b, 0, 0x4D5A); })},
        {"no PE signature", edited([](ByteVec& b) { put32(b, get32(b, 60), 0x00014550); })},
        {"e_lfanew at the end", edited([](ByteVec& b) { put32(b, 60, static_cast<std::uint32_t>(b.size())); })},
        {"signature cut by the end", edited([](ByteVec& b) { put32(b, 60, static_cast<std::uint32_t>(b.size() - 2)); })},
        {"e_lfanew near 4 GiB", edited([](ByteVec& b) { put32(b, 60, 0xFFFFFFFE); })},
        {"optional header of 225 bytes", edited([&](ByteVec& b) { put16(b, fileHeader + 16, 225); })},
        {"optional header of 240 bytes", edited([&](ByteVec& b) { put16(b, fileHeader + 16, 240); })},
        {"PE32+ magic in 224 bytes", edited([&](ByteVec& b) { put16(b, pe.optionalHeaderOffset, kPe32PlusMagic); })},
        {"PE32+", WritePe(plusShape).bytes},
    };
    for (const auto& [label, bytes] : cases) {
        SCOPED_TRACE(label);
        const std::string path = dir.Write(bytes);
        EXPECT_EQ(OpenCode(path, true), VornNotPeImage);
        // The layout reader repeats the probe's tests rather than trusting it.
        EXPECT_EQ(LayoutCode(path), VornNotPeImage);
    }
    EXPECT_FALSE(ProbePeFile((dir.path() / "absent.exe").c_str()));
    EXPECT_EQ(OpenCode((dir.path() / "absent.exe").string(), true), VornNotPeImage);
    EXPECT_EQ(OpenCode(dir.path().string(), true), VornNotPeImage);
}

TEST_F(Layout, TruncatedImageNeverOpens) {
    // The resource section is the last one, so every cut below its end leaves
    // the headers or the resource bytes incomplete.
    const WrittenPe pe = WritePe(ImageWithResources());
    const std::uint32_t optionalEnd = pe.optionalHeaderOffset + 224;
    const std::uint32_t tableEnd = pe.sectionTableOffset + 40 * static_cast<std::uint32_t>(pe.sections.size());
    const std::uint32_t resourceEnd = pe.resourceOffset + pe.resourceSize;
    const std::string path = dir.Write(pe.bytes);
    for (auto length = static_cast<std::uint32_t>(pe.bytes.size()) + 1; length-- > 0;) {
        std::filesystem::resize_file(path, length);
        const int expected = length < optionalEnd ? VornNotPeImage
                             : length < tableEnd  ? VornNoResourceSection
                             : length < resourceEnd ? VornBadResourceData
                                                    : VornSuccess;
        ASSERT_EQ(OpenCode(path, true), expected) << "file cut to " << length << " bytes";
    }
}

TEST_F(Layout, NeedsTheResourceDirectoryAtASectionStart) {
    const WrittenPe pe = WritePe(ImageWithResources());
    auto edited = [&](auto edit) {
        ByteVec bytes = pe.bytes;
        edit(bytes);
        return bytes;
    };
    PeShape midSection = ImageWithResources();
    midSection.resourceDirectoryDelta = 16;
    const SectionPlacement& rsrc = pe.sections.at(*pe.resourceSectionIndex);
    const std::vector<std::pair<const char*, ByteVec>> cases = {
        {"no resources", WritePe(PeShape{}).bytes},
        {"zero resource RVA", edited([&](ByteVec& b) { put32(b, pe.ResourceDirectoryRvaField(), 0); })},
        {"zero resource size", edited([&](ByteVec& b) { put32(b, pe.ResourceDirectorySizeField(), 0); })},
        {"directory inside its section", WritePe(midSection).bytes},
        {"section without file data", edited([&](ByteVec& b) { put32(b, rsrc.headerOffset + kSecPointerToRawData, 0); })},
        {"section beyond NumberOfSections",
         edited([&](ByteVec& b) { put16(b, pe.optionalHeaderOffset - 18, static_cast<std::uint16_t>(*pe.resourceSectionIndex)); })},
    };
    for (const auto& [label, bytes] : cases) {
        SCOPED_TRACE(label);
        const std::string path = dir.Write(bytes);
        EXPECT_EQ(LayoutCode(path), VornNoResourceSection);
        EXPECT_EQ(OpenCode(path, true), VornNoResourceSection);
    }
}

TEST_F(Layout, RefusesResourcesBelowTheCodeBase) {
    const WrittenPe pe = WritePe(ImageWithResources());
    auto withBaseOfCode = [&](std::uint32_t base) {
        ByteVec bytes = pe.bytes;
        put32(bytes, pe.optionalHeaderOffset + 20, base);
        return dir.Write(bytes);
    };
    EXPECT_EQ(OpenCode(withBaseOfCode(pe.resourceRva + 1), true), VornResourceBeforeCode);
    EXPECT_EQ(OpenCode(withBaseOfCode(0xFFFFFFFF), true), VornResourceBeforeCode);
    EXPECT_EQ(OpenCode(withBaseOfCode(pe.resourceRva), true), VornSuccess);
}

TEST_F(Layout, FieldsAreTheHeaderValues) {
    PeShape moved = ImageWithResources();
    moved.lfanew = 0x100;
    moved.fileAlignment = 0x400;
    moved.sectionAlignment = 0x2000;
    moved.sections.push_back({".data", ByteVec(0x900, 5)});
    moved.sectionsAfterResources = {{".reloc", ByteVec(12, 1), 0x42000040}};
    PeShape unaligned = ImageWithResources();
    unaligned.fileAlignment = 0;
    unaligned.sectionAlignment = 0;
    for (const PeShape& shape : {ImageWithResources(), moved, unaligned}) {
        const WrittenPe pe = WritePe(shape);
        ImageLayout layout;
        ASSERT_EQ(LayoutCode(dir.Write(pe.bytes), layout), VornSuccess);
        EXPECT_EQ(layout.fileAlignment, shape.fileAlignment);
        EXPECT_EQ(layout.sectionAlignment, shape.sectionAlignment);
        EXPECT_EQ(layout.sectionCount, static_cast<std::int32_t>(pe.sections.size()));
        EXPECT_EQ(layout.optionalHeaderOffset, shape.lfanew + 24);
        EXPECT_EQ(layout.dataDirectoryOffset, shape.lfanew + 24 + 96);
        EXPECT_EQ(layout.resourceRva, pe.resourceRva);
        EXPECT_EQ(layout.resourceSize, pe.resourceSize);
        EXPECT_EQ(layout.resourceOffset, pe.resourceOffset);
    }
}

// Root may write any file whatever its mode, so as root the check runs in a
// child that has dropped to an unprivileged user.
TEST_F(Open, ReadOnlyFileOpensOnlyForReading) {
    const std::string path = dir.Write(WritePe(ImageWithResources()).bytes);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(OpenCode(path, false), VornFileAccessFailed);
        EXPECT_EQ(OpenCode(path, true), VornSuccess);
        return;
    }
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(100);
        if (access(path.c_str(), R_OK) != 0 || access(path.c_str(), W_OK) == 0) _exit(101);
        _exit(OpenCode(path, false) * 16 + OpenCode(path, true));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const int result = WEXITSTATUS(status);
    if (result == 100) GTEST_SKIP() << "running as root and cannot drop to an unprivileged user";
    if (result == 101) GTEST_SKIP() << "the unprivileged user cannot read the temporary directory";
    EXPECT_EQ(result / 16, VornFileAccessFailed) << "opened for editing";
    EXPECT_EQ(result % 16, VornSuccess) << "opened for reading";
}

TEST_F(Open, ResourceDirectoryLargerThanTheFileIsBadData) {
    // No overlay: the resource section ends the file.
    const WrittenPe pe = WritePe(ImageWithResources());
    const auto room = static_cast<std::uint32_t>(pe.bytes.size()) - pe.resourceOffset;
    auto withSize = [&](std::uint32_t size) {
        ByteVec bytes = pe.bytes;
        put32(bytes, pe.ResourceDirectorySizeField(), size);
        return dir.Write(bytes);
    };
    EXPECT_EQ(OpenCode(withSize(room), true), VornSuccess);
    EXPECT_EQ(OpenCode(withSize(room + 1), true), VornBadResourceData);
    EXPECT_EQ(OpenCode(withSize(0x7FFFFFF0), true), VornBadResourceData);
    EXPECT_EQ(OpenCode(withSize(0xFFFFFFFF), true), VornBadResourceData);

    ByteVec pastEnd = pe.bytes;
    put32(pastEnd, pe.sections.at(*pe.resourceSectionIndex).headerOffset + kSecPointerToRawData, 0xFFFFFF00);
    EXPECT_EQ(OpenCode(dir.Write(pastEnd), true), VornBadResourceData);
}

TEST_F(Open, HoldsTheResourceBytesAndTheirTable) {
    PeShape shape = ImageWithResources();
    shape.overlay = ByteVec(300, 0xEE);
    const WrittenPe pe = WritePe(shape);
    Image image;
    ASSERT_EQ(ToInt(OpenImageForEdit(dir.Write(pe.bytes).c_str(), image, false)), VornSuccess);

    EXPECT_TRUE(image.stream.IsOpen());
    EXPECT_EQ(image.layout.resourceOffset, pe.resourceOffset);
    ASSERT_EQ(image.resourceBytes->size(), pe.resourceSize);
    EXPECT_TRUE(std::equal(pe.resources.bytes.begin(), pe.resources.bytes.end(),
                           reinterpret_cast<const std::uint8_t*>(image.resourceBytes->data())));
    ASSERT_EQ(image.table.entryCount(), 5);
    EXPECT_EQ(image.table.typeCount, 4);
    const std::byte* begin = image.resourceBytes->data();
    for (std::size_t i = 0; i < image.table.entries.size(); ++i) {
        const ResourceEntry& entry = image.table.entries[i];
        EXPECT_EQ(entry.Bytes().data(), begin + pe.resources.dataOffsets[i]) << "record " << i;
        EXPECT_LE(entry.Bytes().data() + entry.size, begin + image.resourceBytes->size());
    }

    CloseImage(image);
    EXPECT_FALSE(image.stream.IsOpen());
    EXPECT_TRUE(image.table.entries.empty());
}

TEST_F(Open, FailureLeavesTheImageEmpty) {
    const WrittenPe pe = WritePe(ImageWithResources());
    ByteVec badData = pe.bytes;
    put32(badData, pe.resourceOffset + pe.resources.dataEntryOffsets.back(), pe.resourceRva - 1);
    const std::string good = dir.Write(pe.bytes);

    for (const auto& [path, code] : {std::pair{dir.Write(badData), VornBadResourceData},
                                     std::pair{(dir.path() / "absent").string(), VornNotPeImage}}) {
        Image image;
        ASSERT_EQ(ToInt(OpenImageForEdit(good.c_str(), image, true)), VornSuccess);
        EXPECT_EQ(ToInt(OpenImageForEdit(path.c_str(), image, true)), code);
        EXPECT_FALSE(image.stream.IsOpen());
        EXPECT_EQ(image.resourceBytes, nullptr);
        EXPECT_TRUE(image.table.entries.empty());
        EXPECT_EQ(image.table.typeCount, 0);
    }
}

}  // namespace
}  // namespace vorn
