#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "image/image.h"
#include "platform/platform.h"
#include "image/image_rewrite.h"
#include "support/pe_writer.h"

namespace vorn {
namespace {

using test::ByteVec;
using test::get32;

ByteVec Pattern(std::size_t size, unsigned seed) {
    ByteVec bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + seed + (i >> 12)) & 0xFF);
    return bytes;
}

ByteVec ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(in), {});
}

// A file with one resource of `resourceBytes` bytes, a ".reloc" section
// after the resources and `overlay` bytes appended.
test::PeShape Spec(std::size_t resourceBytes, ByteVec overlay = {}) {
    test::PeShape spec;
    test::ResourceTree tree;
    tree.types.push_back({10, {{1, {{1033, Pattern(resourceBytes, 1), 0}}, {}}}, {}});
    spec.resources = tree;
    spec.sectionsAfterResources.push_back({".reloc", Pattern(0x300, 2), 0x42000040});
    spec.overlay = std::move(overlay);
    return spec;
}

struct Outcome {
    ResultCode code;
    ByteVec before;
    ByteVec after;
};

// Opens the file, adds (or, with size 0, leaves out) an RCDATA resource of
// `addBytes` and commits, optionally with a fault hook on the stream.
Outcome Commit(const std::string& path, std::size_t addBytes, File::FaultHook hook = {},
               const OperationHooks& hooks = {}) {
    Outcome outcome{ResultCode::Success, ReadFile(path), {}};
    Image image;
    outcome.code = OpenImageForEdit(path.c_str(), image, false);
    if (outcome.code != ResultCode::Success) return outcome;
    const ByteVec added = Pattern(addBytes, 9);
    if (addBytes != 0) {
        EXPECT_EQ(AddResourceEntry(image.table, 10), ResultCode::Success);
        ResourceEntry& entry = image.table.entries.back();
        entry.nameId = 2;
        entry.language = 1033;
        const auto* begin = reinterpret_cast<const std::byte*>(added.data());
        entry.SetData(ResourceData(std::vector<std::byte>(begin, begin + added.size())));
    }
    if (hook) image.stream.SetFaultHook(std::move(hook));
    outcome.code = CommitResources(image, hooks);
    outcome.after = ReadFile(path);
    return outcome;
}

std::uint32_t Align(std::uint32_t x, std::uint32_t a) { return (x + a - 1) / a * a; }

// Drops the last resource in load order and commits.
ResultCode RemoveLast(const std::string& path) {
    Image image;
    if (const ResultCode code = OpenImageForEdit(path.c_str(), image, false); code != ResultCode::Success) return code;
    image.table.entries.pop_back();
    return CommitResources(image);
}

// Checks that everything after the resource section moved by the expected
// deltas, byte for byte, and that the headers say so.
void ExpectMoved(const test::WrittenPe& pe, const Outcome& o, std::uint32_t newSize) {
    const std::uint32_t fileDelta = Align(newSize, 0x200) - Align(pe.resourceSize, 0x200);
    const std::uint32_t virtualDelta =
        Align(pe.resourceRva + Align(newSize, 0x200), 0x1000) - Align(pe.resourceRva + Align(pe.resourceSize, 0x200), 0x1000);
    ASSERT_EQ(o.after.size(), o.before.size() + static_cast<std::int32_t>(fileDelta));
    EXPECT_EQ(get32(o.after, pe.ResourceDirectorySizeField()), newSize);
    EXPECT_EQ(get32(o.after, pe.optionalHeaderOffset + 56), pe.sizeOfImage + virtualDelta);
    EXPECT_EQ(get32(o.after, pe.optionalHeaderOffset + 8), pe.sizeOfInitializedData + fileDelta);
    const test::SectionPlacement& rsrc = pe.sections[*pe.resourceSectionIndex];
    EXPECT_EQ(get32(o.after, rsrc.headerOffset + 8), newSize);
    EXPECT_EQ(get32(o.after, rsrc.headerOffset + 16), Align(newSize, 0x200));
    for (std::size_t i = *pe.resourceSectionIndex + 1; i < pe.sections.size(); ++i) {
        const test::SectionPlacement& s = pe.sections[i];
        EXPECT_EQ(get32(o.after, s.headerOffset + test::kSecVirtualAddress), s.virtualAddress + virtualDelta);
        const std::uint32_t raw = get32(o.after, s.headerOffset + test::kSecPointerToRawData);
        ASSERT_EQ(raw, s.rawOffset + fileDelta);
        EXPECT_TRUE(std::equal(o.before.begin() + s.rawOffset, o.before.begin() + s.rawOffset + s.rawSize,
                               o.after.begin() + raw));
    }
    EXPECT_TRUE(std::equal(o.before.begin() + pe.overlayOffset, o.before.end(), o.after.begin() + pe.overlayOffset + fileDelta));
    // Nothing but zeros between the new section and the data that follows it.
    EXPECT_TRUE(std::all_of(o.after.begin() + pe.resourceOffset + newSize,
                            o.after.begin() + pe.resourceOffset + Align(newSize, 0x200), [](auto b) { return b == 0; }));
}

// The resources after a commit: the original one and, if added, the new one.
void ExpectResources(const std::string& path, std::size_t originalBytes, std::size_t addedBytes) {
    Image image;
    ASSERT_EQ(OpenImageForEdit(path.c_str(), image, true), ResultCode::Success);
    ASSERT_EQ(image.table.entryCount(), addedBytes ? 2 : 1);
    const ByteVec original = Pattern(originalBytes, 1);
    EXPECT_TRUE(std::equal(original.begin(), original.end(), reinterpret_cast<const std::uint8_t*>(image.table.entries[0].Bytes().data())));
    EXPECT_EQ(image.table.entries[0].size, originalBytes);
    if (addedBytes) {
        const ByteVec added = Pattern(addedBytes, 9);
        EXPECT_EQ(image.table.entries[1].nameId, 2);
        EXPECT_EQ(image.table.entries[1].size, addedBytes);
        EXPECT_TRUE(std::equal(added.begin(), added.end(), reinterpret_cast<const std::uint8_t*>(image.table.entries[1].Bytes().data())));
    }
}

TEST(RewriteImage, GrowthWithinOneSectionAlignmentUnitMovesOnlyFileOffsets) {
    test::TempDir dir;
    const test::WrittenPe pe = test::WritePe(Spec(0x2B0, Pattern(5000, 3)));
    ASSERT_EQ(Align(pe.resourceSize, 0x200), 0x400u);
    const std::string path = dir.Write(pe.bytes);
    const Outcome o = Commit(path, 0x3D0);
    ASSERT_EQ(o.code, ResultCode::Success);
    const std::uint32_t newSize = get32(o.after, pe.ResourceDirectorySizeField());
    ASSERT_EQ(Align(newSize, 0x200), 0x800u);  // file delta 0x400, virtual delta 0
    ExpectMoved(pe, o, newSize);
    ExpectResources(path, 0x2B0, 0x3D0);
}

TEST(RewriteImage, GrowthAcrossSectionAlignmentMovesAddressesAndDirectories) {
    test::TempDir dir;
    test::WrittenPe pe = test::WritePe(Spec(100, Pattern(3000, 3)));
    // The base relocation directory lies in the section after the resources.
    const test::SectionPlacement& reloc = pe.sections.back();
    test::put32(pe.bytes, pe.dataDirectoryOffset + 5 * 8, reloc.virtualAddress);
    test::put32(pe.bytes, pe.dataDirectoryOffset + 5 * 8 + 4, 0x300);
    const std::string path = dir.Write(pe.bytes);
    const Outcome o = Commit(path, 0x2345);
    ASSERT_EQ(o.code, ResultCode::Success);
    const std::uint32_t newSize = get32(o.after, pe.ResourceDirectorySizeField());
    ExpectMoved(pe, o, newSize);
    EXPECT_EQ(get32(o.after, pe.dataDirectoryOffset + 5 * 8), reloc.virtualAddress + 0x2000);
    ExpectResources(path, 100, 0x2345);
}

// Adding a resource and taking it out again gives the file that rebuilding
// the original unchanged gives: the output depends only on the resources.
TEST(RewriteImage, AddedAndRemovedResourceLeavesTheRebuiltOriginal) {
    test::TempDir dir;
    const test::WrittenPe pe = test::WritePe(Spec(100, Pattern(3000, 3)));
    const std::string rebuilt = dir.Write(pe.bytes);
    ASSERT_EQ(Commit(rebuilt, 0).code, ResultCode::Success);
    const std::string path = dir.Write(pe.bytes);
    ASSERT_EQ(Commit(path, 0x2345).code, ResultCode::Success);
    ASSERT_EQ(RemoveLast(path), ResultCode::Success);
    EXPECT_EQ(ReadFile(path), ReadFile(rebuilt));
}

TEST(RewriteImage, SameRawSizeChangesOnlyTheResourceFields) {
    test::TempDir dir;
    const test::WrittenPe pe = test::WritePe(Spec(40, Pattern(100, 3)));
    const std::string path = dir.Write(pe.bytes);
    const Outcome o = Commit(path, 4);
    ASSERT_EQ(o.code, ResultCode::Success);
    ASSERT_EQ(o.after.size(), o.before.size());
    const std::uint32_t newSize = get32(o.after, pe.ResourceDirectorySizeField());
    ExpectMoved(pe, o, newSize);
    // Outside the section and its three header fields nothing changed.
    ByteVec masked = o.after;
    const test::SectionPlacement& rsrc = pe.sections[*pe.resourceSectionIndex];
    std::copy(o.before.begin() + rsrc.rawOffset, o.before.begin() + rsrc.rawOffset + rsrc.rawSize, masked.begin() + rsrc.rawOffset);
    test::put32(masked, pe.ResourceDirectorySizeField(), pe.resourceSize);
    test::put32(masked, rsrc.headerOffset + 8, rsrc.virtualSize);
    EXPECT_EQ(masked, o.before);
}

// Tails around the chunk size move whole, growing and shrinking: none, one
// short piece, exactly one chunk, one chunk and one byte, several chunks;
// growing by less than a chunk (moved front to back) and by more (back to
// front). ".reloc" takes 0x400 bytes of the tail.
TEST(RewriteImage, TailsAroundTheChunkSizeMoveIntact) {
    for (const std::size_t overlay : {std::size_t{0}, std::size_t{1}, std::size_t{kMoveChunkSize} - 0x400,
                                      std::size_t{kMoveChunkSize} - 0x3FF, std::size_t{2 * kMoveChunkSize} + 7})
    for (const std::size_t growth : {std::size_t{0x1234}, std::size_t{kMoveChunkSize} + 0x1234}) {
        SCOPED_TRACE(testing::Message() << overlay << " grown by " << growth);
        test::TempDir dir;
        test::PeShape spec = Spec(200, Pattern(overlay, 4));
        if (overlay == 0) spec.sectionsAfterResources.clear();
        const test::WrittenPe pe = test::WritePe(spec);
        const std::string path = dir.Write(pe.bytes);
        const Outcome grown = Commit(path, growth);
        ASSERT_EQ(grown.code, ResultCode::Success);
        ExpectMoved(pe, grown, get32(grown.after, pe.ResourceDirectorySizeField()));
        ASSERT_EQ(RemoveLast(path), ResultCode::Success);
        const ByteVec shrunk = ReadFile(path);
        ASSERT_EQ(shrunk.size(), grown.before.size());
        const std::size_t tail = pe.resourceOffset + Align(pe.resourceSize, 0x200);
        EXPECT_TRUE(std::equal(shrunk.begin() + tail, shrunk.end(), grown.before.begin() + tail));
    }
}

TEST(RewriteImage, FileOffsetsInHeadersFollowTheMovedData) {
    test::TempDir dir;
    test::PeShape spec = Spec(64, Pattern(4096, 5));
    spec.installer = test::InstallerTable{256, {1, 2, 3, 4, 5, 6, 7, 8}, true};
    test::WrittenPe pe = test::WritePe(spec);
    const std::uint32_t fileHeader = pe.optionalHeaderOffset - 20;
    test::put32(pe.bytes, fileHeader + 8, pe.overlayOffset + 1024);   // COFF symbol table
    test::put32(pe.bytes, pe.dataDirectoryOffset + 4 * 8, pe.overlayOffset + 2048);  // certificates
    test::put32(pe.bytes, pe.dataDirectoryOffset + 4 * 8 + 4, 64);
    // One debug directory entry in ".reloc", its data in the overlay.
    const test::SectionPlacement& reloc = pe.sections.back();
    test::put32(pe.bytes, pe.dataDirectoryOffset + 6 * 8, reloc.virtualAddress + 0x10);
    test::put32(pe.bytes, pe.dataDirectoryOffset + 6 * 8 + 4, 28);
    test::put32(pe.bytes, reloc.rawOffset + 0x10 + 20, reloc.virtualAddress + 0x100);
    test::put32(pe.bytes, reloc.rawOffset + 0x10 + 24, pe.overlayOffset + 3000);
    const std::string path = dir.Write(pe.bytes);

    const Outcome o = Commit(path, 0x1800);
    ASSERT_EQ(o.code, ResultCode::Success);
    const std::uint32_t newSize = get32(o.after, pe.ResourceDirectorySizeField());
    const std::uint32_t fileDelta = Align(newSize, 0x200) - Align(pe.resourceSize, 0x200);
    const std::uint32_t virtualDelta = 0x1000;
    ASSERT_EQ(fileDelta, 0x1800u);
    EXPECT_EQ(get32(o.after, fileHeader + 8), pe.overlayOffset + 1024 + fileDelta);
    EXPECT_EQ(get32(o.after, pe.dataDirectoryOffset + 4 * 8), pe.overlayOffset + 2048 + fileDelta);
    EXPECT_EQ(get32(o.after, pe.dataDirectoryOffset + 6 * 8), reloc.virtualAddress + 0x10 + virtualDelta);
    const std::uint32_t debug = reloc.rawOffset + fileDelta + 0x10;
    EXPECT_EQ(get32(o.after, debug + 20), reloc.virtualAddress + 0x100 + virtualDelta);
    EXPECT_EQ(get32(o.after, debug + 24), pe.overlayOffset + 3000 + fileDelta);

    const std::uint32_t table = pe.installerTableOffset + fileDelta;
    EXPECT_EQ(get32(o.after, 0x34), table);
    EXPECT_EQ(get32(o.after, 0x38), ~table);
    const std::uint32_t expected[] = {1 + fileDelta, 2 + fileDelta, 3, 4, 5, 6 + fileDelta, 7 + fileDelta, 8 + fileDelta};
    for (std::uint32_t k = 0; k < 8; ++k) EXPECT_EQ(get32(o.after, table + 12 + 4 * k), expected[k]) << "value " << k + 1;
    // CheckSum is left as it was.
    EXPECT_EQ(get32(o.after, pe.optionalHeaderOffset + 64), get32(o.before, pe.optionalHeaderOffset + 64));
}

TEST(RewriteImage, InstallerTagWithoutTableMovesOnlyTheTablePointer) {
    test::TempDir dir;
    test::PeShape spec = Spec(64, Pattern(512, 5));
    spec.installer = test::InstallerTable{100, {1, 2, 3, 4, 5, 6, 7, 8}, false};
    const test::WrittenPe pe = test::WritePe(spec);
    const std::string path = dir.Write(pe.bytes);
    const Outcome o = Commit(path, 0x1800);
    ASSERT_EQ(o.code, ResultCode::Success);
    EXPECT_EQ(get32(o.after, 0x34), pe.installerTableOffset + 0x1800);
    EXPECT_EQ(get32(o.after, pe.installerTableOffset + 0x1800 + 12), 1u);
}

TEST(RewriteImage, SectionEndingTheFileWithoutPaddingIsRewritten) {
    test::TempDir dir;
    test::PeShape spec = Spec(100);
    spec.sectionsAfterResources.clear();
    test::WrittenPe pe = test::WritePe(spec);
    pe.bytes.resize(pe.resourceOffset + pe.resourceSize);  // no padding to the file alignment
    const std::string path = dir.Write(pe.bytes);
    const Outcome o = Commit(path, 0x700);
    ASSERT_EQ(o.code, ResultCode::Success);
    ExpectResources(path, 100, 0x700);
    EXPECT_EQ(o.after.size(), pe.resourceOffset + Align(get32(o.after, pe.ResourceDirectorySizeField()), 0x200));
}

// Shapes whose rewrite would overwrite what is not the resource section, or
// pad it to a size no loader accepts: refused before anything is written.
TEST(RewriteImage, SectionsSharingBytesAndImpossibleAlignmentsAreRefused) {
    test::TempDir dir;
    const test::WrittenPe pe = test::WritePe(Spec(100, Pattern(3000, 3)));
    const test::SectionPlacement& rsrc = pe.sections[*pe.resourceSectionIndex];
    const test::SectionPlacement& reloc = pe.sections.back();
    auto edited = [&](auto edit) {
        ByteVec bytes = pe.bytes;
        edit(bytes);
        return dir.Write(bytes);
    };
    const std::uint32_t fileAlignmentField = pe.optionalHeaderOffset + 36;
    for (const auto& path : {
             // The resource section's data inside the headers.
             edited([&](ByteVec& b) { test::put32(b, rsrc.headerOffset + test::kSecPointerToRawData, 0x40); }),
             // The next section's data inside the resource section.
             edited([&](ByteVec& b) { test::put32(b, reloc.headerOffset + test::kSecPointerToRawData, rsrc.rawOffset); }),
             // Sections whose data the file does not hold, or that share it,
             // apart from the resources: each would move as part of the other.
             edited([&](ByteVec& b) { test::put32(b, reloc.headerOffset + test::kSecSizeOfRawData, 0x01000000); }),
             edited([&](ByteVec& b) {
                 test::put32(b, pe.sections.front().headerOffset + test::kSecPointerToRawData, reloc.rawOffset);
             }),
             edited([&](ByteVec& b) { test::put32(b, fileAlignmentField, 0x43001000); }),
             edited([&](ByteVec& b) { test::put32(b, fileAlignmentField, 0x20000); }),
             edited([&](ByteVec& b) { test::put32(b, fileAlignmentField, 0x300); }),
         }) {
        const Outcome o = Commit(path, 0x2345);
        EXPECT_EQ(o.code, ResultCode::BadResourceData);
        EXPECT_EQ(o.after, o.before);
    }
}

// Every write and length change of a commit, failed in turn: the result is
// FileAccessFailed, and a failure before anything moved leaves the file as
// it was.
TEST(RewriteImage, EveryFailedWriteOrLengthChangeIsReported) {
    for (const std::size_t added : {std::size_t{0x2400}, std::size_t{0}}) {
        test::TempDir dir;
        const test::WrittenPe pe = test::WritePe(Spec(0x2000, Pattern(kMoveChunkSize + 100, 6)));
        const std::string original = dir.Write(pe.bytes);
        int mutations = 0;
        ASSERT_EQ(Commit(dir.Write(pe.bytes), added,
                         [&](File::Operation op) {
                             mutations += op == File::Operation::Write || op == File::Operation::SetLength;
                             return false;
                         }).code,
                  ResultCode::Success);
        ASSERT_GE(mutations, 3);
        for (int failAt = 1; failAt <= mutations; ++failAt) {
            SCOPED_TRACE(testing::Message() << "added " << added << ", failing mutation " << failAt);
            const std::string path = dir.Write(pe.bytes);
            int seen = 0;
            File::Operation failed{};
            const Outcome o = Commit(path, added, [&](File::Operation op) {
                if (op != File::Operation::Write && op != File::Operation::SetLength) return false;
                failed = op;
                return ++seen == failAt;
            });
            EXPECT_EQ(o.code, ResultCode::FileAccessFailed);
            if (failAt == 1 && failed == File::Operation::SetLength) {
                EXPECT_EQ(o.after, o.before);
            }
        }
    }
}

TEST(RewriteImage, MessagesArePumpedWhileALargeTailMoves) {
    test::TempDir dir;
    const test::WrittenPe pe = test::WritePe(Spec(64, Pattern(3 * kMoveChunkSize, 7)));
    const std::string path = dir.Write(pe.bytes);
    // Progress only grows, in bytes of the tail, and ends at the whole tail.
    struct Seen {
        int pumps = 0;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    } seen;
    const OperationHooks hooks{[](void* context) { ++static_cast<Seen*>(context)->pumps; },
                               [](void* context, std::uint64_t done, std::uint64_t total) {
                                   static_cast<Seen*>(context)->progress.emplace_back(done, total);
                               },
                               &seen};
    const Outcome o = Commit(path, 0x1000, {}, hooks);
    const auto& progress = seen.progress;
    const int pumps = seen.pumps;
    ASSERT_EQ(o.code, ResultCode::Success);
    const std::uint64_t tail = o.before.size() - (pe.resourceOffset + Align(pe.resourceSize, 0x200));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(tail, tail));
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    // Two sort passes, three full chunks (the tail is a little over 3 MiB
    // with ".reloc"), one pump after the section is written.
    EXPECT_EQ(pumps, 2 + 3 + 1);
}

}  // namespace
}  // namespace vorn
