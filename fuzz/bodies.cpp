#include "bodies.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <filesystem>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "kinds/icon/icon_export.h"
#include "kinds/icon/icon_replace.h"
#include "kinds/icon/icon_set.h"
#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "format/resource_table.h"
#include "format/section_builder.h"
#include "faces/exports/version_exports.h"
#include "format/checksum.h"
#include "image/edit_journal.h"
#include "kinds/version/version_info.h"
#include "kinds/version/version_resource.h"

namespace vorn::fuzz {

namespace {

using Raw = std::vector<std::uint8_t>;

// One folder per process for the files the operations work on, removed at
// exit; TMPDIR chooses where (a campaign puts it on a RAM disk).
// Held for the life of the process: the exit handler still needs it.
const std::string& Scratch() {
    static const std::string* const dir = [] {
        const char* base = std::getenv("TMPDIR");
        auto* pattern = new std::string(std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vornutils-fuzz-XXXXXX");
        if (mkdtemp(pattern->data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Scratch(), ignored);
        });
        return pattern;
    }();
    return *dir;
}

std::string ScratchFile(const char* name) { return Scratch() + "/" + name; }

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    if (std::fclose(out) != 0) std::abort();
}

Raw ReadFile(const std::string& path) {
    Raw bytes;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return bytes;
    std::array<std::uint8_t, 65536> chunk;
    for (std::size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), in)) != 0;) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    std::fclose(in);
    return bytes;
}

Bytes AsBytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const std::byte*>(data), size};
}

// A byte of the DOS header that no reader looks at chooses the image kinds,
// so that one corpus covers both the exports' and the tool's acceptance.
ImageKinds KindsOf(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kChooser = 0x28;
    return size > kChooser && (data[kChooser] & 1) != 0 ? ImageKinds::Pe32OrPe32Plus : ImageKinds::Pe32Only;
}

bool SameName(const ResourceName& a, const ResourceName& b) { return a ? (b && *a == *b) : !b; }

bool SameResource(const ResourceEntry& a, const ResourceEntry& b) {
    if (a.typeId != b.typeId || a.nameId != b.nameId || a.language != b.language || a.codePage != b.codePage ||
        a.size != b.size || !SameName(a.typeName, b.typeName) || !SameName(a.name, b.name)) {
        return false;
    }
    return a.size == 0 || std::memcmp(a.Bytes().data(), b.Bytes().data(), a.size) == 0;
}

bool Inside(const ResourceEntry& entry, Bytes bytes) {
    if (entry.size == 0) return true;
    const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto at = reinterpret_cast<std::uintptr_t>(entry.Bytes().data());
    return at >= begin && Fits(at - begin, entry.size, bytes.size());
}

}  // namespace

const char* ResourceTable(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return nullptr;
    const std::uint32_t rva = LoadU32(reinterpret_cast<const std::byte*>(data));
    const auto block = std::make_shared<const std::vector<std::byte>>(AsBytes(data + 4, size - 4).begin(),
                                                                      AsBytes(data + 4, size - 4).end());
    const Bytes section = *block;
    vorn::ResourceTable table;
    ResultCode code = LoadResourceTable(block, table, rva);
    if (code != ResultCode::Success && code != ResultCode::BadResourceData && code != ResultCode::OutOfMemory) {
        return "the loader gave a code it does not document";
    }
    for (const ResourceEntry& entry : table.entries) {
        if (!Inside(entry, section)) return "a record views bytes outside the section";
    }
    // Every leaf comes from its own 8-byte directory entry.
    if (table.entries.size() > section.size() / 8) return "more records than the directory has entries";
    if (code != ResultCode::Success || table.entries.empty()) return nullptr;

    std::vector<std::byte> built;
    std::uint32_t builtSize = 0;
    code = BuildResourceSection(built, builtSize, table, rva);
    // Too many entries for one directory, or past 2 GiB: refused, not wrong.
    if (code == ResultCode::SectionBuildFailed || code == ResultCode::OutOfMemory) return nullptr;
    if (code != ResultCode::Success) return "a loaded table does not rebuild";
    if (builtSize != built.size()) return "the rebuilt section's size is not its length";
    // Data RVAs that would wrap are refused by the rewrite before this matters.
    if (std::uint64_t{rva} + built.size() > 0xFFFFFFFF) return nullptr;
    vorn::ResourceTable again;
    if (LoadResourceTable(built, again, rva) != ResultCode::Success) return "the rebuilt section does not load";
    if (again.entries.size() != table.entries.size()) return "the rebuilt section holds another number of resources";
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        if (!SameResource(table.entries[i], again.entries[i])) return "the rebuilt section holds other resources";
    }
    return nullptr;
}

const char* VersionParser(const std::uint8_t* data, std::size_t size) {
    VersionInfo record;
    ResultCode code = ParseVersionResource(AsBytes(data, size), record);
    if (code != ResultCode::Success && code != ResultCode::BadVersionResource &&
        code != ResultCode::TextConversionFailed && code != ResultCode::OutOfMemory) {
        return "the parser gave a code it does not document";
    }
    if (code != ResultCode::Success) return nullptr;
    std::vector<std::byte> first;
    code = SerializeVersionInfo(record, first);
    // Past the 65535-byte limit: refused, as the write export documents.
    if (code == ResultCode::BadVersionRecord || code == ResultCode::OutOfMemory) return nullptr;
    if (code != ResultCode::Success) return "a parsed record does not serialise";
    VersionInfo again;
    if (ParseVersionResource(first, again) != ResultCode::Success) return "the serialised record does not parse";
    std::vector<std::byte> second;
    if (SerializeVersionInfo(again, second) != ResultCode::Success) return "the reparsed record does not serialise";
    if (first != second) return "serialising the reparsed record gives other bytes";
    return nullptr;
}

const char* IcoReader(const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchFile("source.ico");
    WriteFile(path, data, size);
    IconSet set;
    const ResultCode code = ReadIconFile(set, path.c_str());
    if (code != ResultCode::Success) {
        if (code != ResultCode::BadIconSource && code != ResultCode::OutOfMemory) {
            return "the reader gave a code it does not document";
        }
        return set.groupData.empty() && set.images.empty() ? nullptr : "a failed read left a partial set";
    }
    const ByteView file(AsBytes(data, size));
    const std::uint16_t count = file.U16(kIconCountOffset).value_or(0);
    if (set.imageCount() != count || set.groupSize() != kIconHeaderSize + count * kGroupEntrySize) {
        return "the set does not have the file's number of images";
    }
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = kIconHeaderSize + std::uint64_t{i} * kFileEntrySize;
        const auto bytes = file.Sub(*file.U32(entry + kFileEntryImageOffset), *file.U32(entry + kEntryImageSizeOffset));
        const auto& image = set.images[i].imageData;
        if (!bytes || !std::equal(image.begin(), image.end(), bytes->begin(), bytes->end())) {
            return "an image is not the bytes its entry names";
        }
        total += image.size();
    }
    if (total > size) return "the images hold more bytes than the file";
    return nullptr;
}

const char* ModuleGroup(const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchFile("module.dll");
    WriteFile(path, data, size);
    const ImageKinds kinds = KindsOf(data, size);
    IconSet set;
    const ResultCode code = ReadModuleIconGroup(set, path.c_str(), nullptr, kinds);
    if (code == ResultCode::Success) {
        const ByteView group(set.groupData);
        const std::uint16_t count = group.U16(kIconCountOffset).value_or(0);
        if (set.imageCount() != count || !group.Contains(kIconHeaderSize, std::uint64_t{count} * kGroupEntrySize)) {
            return "the set does not have its group's number of images";
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto claimed = group.U32(kIconHeaderSize + std::uint64_t{i} * kGroupEntrySize + kEntryImageSizeOffset);
            if (claimed != set.images[i].imageSize()) return "an image's size is not its group entry's";
        }
    } else if (!set.groupData.empty() || !set.images.empty()) {
        return "a failed read left a partial set";
    }

    // What extract-icon writes must read back as an .ico of the same images.
    std::vector<std::byte> ico;
    Image image;
    if (OpenImageForEdit(path.c_str(), image, true, kinds) != ResultCode::Success) return nullptr;
    const ResultCode exported = ExportIconGroup(image.table, nullptr, image.fileLength, ico);
    CloseImage(image);
    if (exported != ResultCode::Success) return nullptr;
    if (ico.size() > size + kIconHeaderSize + std::size_t{2} * 0xFFFF) return "the .ico is larger than the module can justify";
    const std::string icoPath = ScratchFile("extracted.ico");
    WriteFile(icoPath, reinterpret_cast<const std::uint8_t*>(ico.data()), ico.size());
    IconSet extracted;
    if (ReadIconFile(extracted, icoPath.c_str()) != ResultCode::Success) return "an extracted .ico does not read back";
    if (extracted.imageCount() != LoadU16(ico.data() + kIconCountOffset)) return "an extracted .ico reads back short";
    return nullptr;
}

const char* VersionRoundTrip(const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchFile("target.exe");
    WriteFile(path, data, size);
    ImageAccess access;
    access.kinds = KindsOf(data, size);
    VersionInfoBlock block{};
    const std::int32_t read = GuardExport([&] { return QueryVersion(path.c_str(), &block, access); });
    if (read < 0 || read > VornTextConversionFailed || read == VornNoVersionResource) return "the read gave an unknown code";
    if (read != VornSuccess) return nullptr;

    const Raw before(data, data + size);
    const std::int32_t written = GuardExport([&] { return UpdateVersion(path.c_str(), &block, access); });
    if (written < 0 || written > VornTextConversionFailed || written == VornNoVersionResource) {
        return "the write gave an unknown code";
    }
    if (written != VornSuccess) return ReadFile(path) == before ? nullptr : "a failed write changed the file";

    VersionInfoBlock again{};
    if (GuardExport([&] { return QueryVersion(path.c_str(), &again, access); }) != VornSuccess) {
        return "the written file no longer reads";
    }
    if (std::memcmp(&block, &again, sizeof block) != 0) return "the version read back is not the one written";
    return nullptr;
}

const std::uint8_t* ReplacementIco(std::size_t& size) {
    static const Raw ico = [] {
        Raw bytes{0, 0, 1, 0, 2, 0};
        const std::uint32_t sizes[2] = {40, 68};
        std::uint32_t offset = kIconHeaderSize + 2 * kFileEntrySize;
        for (std::uint32_t i = 0; i < 2; ++i) {
            const std::uint8_t side = i == 0 ? 16 : 32;
            const std::uint8_t entry[16] = {side, side, 0, 0, 1, 0, 32, 0,
                                            static_cast<std::uint8_t>(sizes[i]), 0, 0, 0,
                                            static_cast<std::uint8_t>(offset), 0, 0, 0};
            bytes.insert(bytes.end(), entry, entry + 16);
            offset += sizes[i];
        }
        for (std::uint32_t i = 0; i < 2; ++i) {
            for (std::uint32_t k = 0; k < sizes[i]; ++k) bytes.push_back(static_cast<std::uint8_t>(0x40 + 7 * i + k));
        }
        return bytes;
    }();
    size = ico.size();
    return ico.data();
}

const char* IconReplace(const std::uint8_t* data, std::size_t size) {
    std::size_t icoSize = 0;
    const std::uint8_t* ico = ReplacementIco(icoSize);
    const std::string icoPath = ScratchFile("replacement.ico");
    static const bool icoWritten = (WriteFile(icoPath, ico, icoSize), true);
    (void)icoWritten;
    const std::string path = ScratchFile("target.exe");
    WriteFile(path, data, size);
    ImageAccess access;
    access.kinds = KindsOf(data, size);

    // The main group as the export will find it: the first in load order.
    ResourceEntry main;
    bool hasMain = false;
    {
        Image image;
        if (OpenImageForEdit(path.c_str(), image, true, access.kinds) == ResultCode::Success) {
            for (const ResourceEntry& entry : image.table.entries) {
                if (entry.typeId == pe::kRtGroupIcon) {
                    main = entry;
                    hasMain = true;
                    break;
                }
            }
        }
        CloseImage(image);
    }

    const std::int32_t code = GuardExport(
        [&] { return ReplaceMainIcon(path.c_str(), icoPath.c_str(), IconSourceFile, nullptr, access); });
    if (code < 0 || code > VornTextConversionFailed || code == VornNoVersionResource) return "an unknown code";
    if (code != VornSuccess) {
        return ReadFile(path) == Raw(data, data + size) ? nullptr : "a failed replacement changed the file";
    }
    if (!hasMain) return "a file without a loadable group got a new icon";

    Image image;
    if (OpenImageForEdit(path.c_str(), image, true, access.kinds) != ResultCode::Success) {
        return "the file no longer opens after a new icon";
    }
    const auto& entries = image.table.entries;
    const auto findImage = [&](std::uint16_t id) -> const ResourceEntry* {
        for (const ResourceEntry& e : entries) {
            if (e.typeId == pe::kRtIcon && !e.name && e.nameId == id && e.language == main.language) return &e;
        }
        return nullptr;
    };
    const ByteView source(AsBytes(ico, icoSize));
    bool found = false;
    for (const ResourceEntry& group : entries) {
        if (group.typeId != pe::kRtGroupIcon || group.nameId != main.nameId || !SameName(group.name, main.name) ||
            group.language != main.language || group.size != kIconHeaderSize + 2 * kGroupEntrySize) {
            continue;
        }
        bool matches = LoadU16(group.Bytes().data() + kIconCountOffset) == 2;
        for (std::uint32_t i = 0; matches && i < 2; ++i) {
            const std::byte* entry = group.Bytes().data() + kIconHeaderSize + i * kGroupEntrySize;
            const std::uint64_t fileEntry = kIconHeaderSize + std::uint64_t{i} * kFileEntrySize;
            const auto want = source.Sub(*source.U32(fileEntry + kFileEntryImageOffset),
                                         *source.U32(fileEntry + kEntryImageSizeOffset));
            const ResourceEntry* listed = findImage(LoadU16(entry + kGroupEntryIdOffset));
            matches = listed != nullptr && want && listed->size == want->size() &&
                      std::memcmp(listed->Bytes().data(), want->data(), want->size()) == 0 &&
                      std::memcmp(entry, ico + fileEntry, kGroupEntryIdOffset) == 0;
        }
        found = found || matches;
    }
    CloseImage(image);
    return found ? nullptr : "the main group does not hold the new images";
}

const std::uint8_t* JournalTarget(std::size_t& size) {
    static const Raw target = [] {
        Raw bytes(0x6000);
        std::uint32_t x = 0x9E3779B9;
        for (std::uint8_t& b : bytes) x = x * 1664525 + 1013904223, b = static_cast<std::uint8_t>(x >> 24);
        return bytes;
    }();
    size = target.size();
    return target.data();
}

namespace {

// The CRC-32 at `at` of the `length` bytes before it, where the input has room.
void Seal(Raw& bytes, std::uint64_t from, std::uint64_t at) {
    if (from > at || at + 4 > bytes.size()) return;
    Crc32 crc;
    crc.Add(AsBytes(bytes.data() + from, static_cast<std::size_t>(at - from)));
    StoreU32(reinterpret_cast<std::byte*>(bytes.data() + at), crc.Value());
}

}  // namespace

const char* JournalReplay(const std::uint8_t* data, std::size_t size) {
    std::size_t targetSize = 0;
    const std::uint8_t* targetBytes = JournalTarget(targetSize);
    const Raw target(targetBytes, targetBytes + targetSize);
    // The static part ends with the CRC of all before it; the progress
    // record, at the next 4 KiB, ends with its own.
    Raw journal(data, data + size);
    if (journal.size() >= 12) {
        const std::uint64_t staticSize = LoadU32(reinterpret_cast<const std::byte*>(journal.data() + 8));
        if (staticSize >= 4) Seal(journal, 0, staticSize - 4);
        const std::uint64_t record = (staticSize + 4095) / 4096 * 4096;
        Seal(journal, record, record + 36);
    }
    const std::string targetPath = ScratchFile("journal-target.exe");
    const std::string journalPath = targetPath + ".vornres-journal";
    const std::string besidePath = ScratchFile("journal-beside");
    WriteFile(targetPath, target.data(), target.size());
    WriteFile(journalPath, journal.data(), journal.size());
    WriteFile(besidePath, target.data(), 512);

    journal::Found found = journal::Found::Failed;
    {
        auto file = File::Open(journalPath.c_str(), File::Mode::ReadWrite);
        if (!file) std::abort();
        try {
            found = journal::Play(*file, targetPath);
        } catch (const std::bad_alloc&) {
            return "Play ran out of memory";
        }
    }
    const Raw after = ReadFile(targetPath);
    if (after.size() > target.size()) return "Play wrote past the end of the target";
    if (found != journal::Found::Finished && found != journal::Found::PutBack && after != target) {
        return "the target changed though the journal was not played";
    }
    if ((found == journal::Found::Damaged || found == journal::Found::Foreign) && ReadFile(journalPath) != journal) {
        return "a refused journal was written to";
    }
    if (ReadFile(besidePath) != Raw(target.begin(), target.begin() + 512)) return "a file beside the target changed";
    return nullptr;
}

namespace {

// The tree's content without the bytes its nodes were read from.
version::VersionResource WithoutReadBytes(version::VersionResource tree) {
    tree.raw.clear();
    for (auto& child : tree.children) {
        if (child.kind != version::ChildKind::Other) child.raw.clear();
        for (auto& table : child.tables) {
            table.raw.clear();
            for (auto& string : table.strings) string.raw.clear();
        }
        for (auto& var : child.vars) var.raw.clear();
    }
    return tree;
}

}  // namespace

const char* VersionTree(const std::uint8_t* data, std::size_t size) {
    using namespace version;
    const std::span<const std::byte> input = AsBytes(data, size);
    VersionResource read;
    const ResultCode code = ParseVersionTree(input, read);
    if (code == ResultCode::BadVersionResource || code == ResultCode::OutOfMemory) return nullptr;
    if (code != ResultCode::Success) return "the tree reader gave a code it does not document";
    std::vector<std::byte> written;
    if (SerializeVersionTree(read, written)) return "an unchanged tree does not serialise";
    if (!std::equal(written.begin(), written.end(), input.begin(), input.end())) return "an unchanged tree is not written as read";

    // A fresh layout may pass the 65535-byte limit that the read one kept.
    if (SerializeVersionTree(WithoutReadBytes(read), written)) return nullptr;
    VersionResource again;
    if (ParseVersionTree(written, again) != ResultCode::Success) return "a tree written afresh does not read back";
    if (!(again == read)) return "a tree written afresh reads back as another";

    VersionResource edited = WithoutReadBytes(read);
    LendReadBytes(read, edited);
    edited.raw.clear();
    std::size_t editedChild = 0;
    while (editedChild < edited.children.size() && edited.children[editedChild].tables.empty()) ++editedChild;
    if (editedChild == edited.children.size()) return nullptr;
    SetString(edited.children[editedChild].tables.front(), u"FileVersion", u"1.2.3.4");
    if (SerializeVersionTree(edited, written)) return nullptr;
    if (ParseVersionTree(written, again) != ResultCode::Success) return "an edited tree does not read back";
    if (!(again == edited)) return "an edited tree reads back as another";
    for (std::size_t i = 0; i < edited.children.size(); ++i) {
        if (i != editedChild && again.children[i].raw != read.children[i].raw) return "an edit changed the bytes of another child";
    }
    return nullptr;
}

}  // namespace vorn::fuzz
