#include "support/pe_writer.h"

#include <stdlib.h>  // mkdtemp

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace vorn::test {

namespace {

void Check(const ByteVec& bytes, std::size_t offset, std::size_t size) {
    if (offset > bytes.size() || size > bytes.size() - offset) throw std::out_of_range("edit outside the written bytes");
}

std::uint32_t Align(std::uint32_t value, std::uint32_t alignment) {
    return alignment <= 1 ? value : (value + alignment - 1) / alignment * alignment;
}

// Appends `size` zero bytes on a 4-byte boundary; returns where they start.
std::uint32_t Append(ByteVec& bytes, std::size_t size) {
    bytes.resize(Align(static_cast<std::uint32_t>(bytes.size()), 4));
    const auto at = static_cast<std::uint32_t>(bytes.size());
    bytes.resize(bytes.size() + size);
    return at;
}

// Named entries first, as the entry counts require; sorted on request.
template <class Item>
std::vector<const Item*> Ordered(const std::vector<Item>& items, bool sort) {
    std::vector<const Item*> out;
    for (const Item& item : items) out.push_back(&item);
    std::stable_partition(out.begin(), out.end(), [](const Item* item) { return item->id.named; });
    if (sort) {
        std::stable_sort(out.begin(), out.end(), [](const Item* a, const Item* b) {
            if (a->id.named != b->id.named) return a->id.named;
            return a->id.named ? a->id.name < b->id.name : a->id.id < b->id.id;
        });
    }
    return out;
}

class SectionWriter {
public:
    SectionWriter(const ResourceTree& tree, std::uint32_t rva) : tree_(tree), rva_(rva) {}

    ResourceSection Write() {
        const auto types = Ordered(tree_.types, tree_.sortEntries);
        const std::uint32_t root = OpenDirectory(tree_.root, types);
        for (std::size_t i = 0; i < types.size(); ++i) LinkSubdirectory(root, i, WriteNames(*types[i]));

        for (const auto& [entry, text] : names_) {
            const std::uint32_t at = Append(out_.bytes, 2 + 2 * text->size());
            put16(out_.bytes, at, static_cast<std::uint16_t>(text->size()));
            for (std::size_t k = 0; k < text->size(); ++k) put16(out_.bytes, at + 2 + 2 * k, (*text)[k]);
            put32(out_.bytes, entry, kSubdirectoryBit | at);
            out_.stringOffsets.push_back(at);
        }
        for (const auto& [dataEntry, data] : data_) {
            const std::uint32_t at = Append(out_.bytes, data->size());
            std::copy(data->begin(), data->end(), out_.bytes.begin() + at);
            put32(out_.bytes, dataEntry, rva_ + at);
            out_.dataOffsets.push_back(at);
        }
        out_.bytes.resize(Align(static_cast<std::uint32_t>(out_.bytes.size()), 4));
        return std::move(out_);
    }

private:
    std::uint32_t WriteNames(const ResType& type) {
        const auto names = Ordered(type.names, tree_.sortEntries);
        const std::uint32_t dir = OpenDirectory(type.dir, names);
        for (std::size_t i = 0; i < names.size(); ++i) LinkSubdirectory(dir, i, WriteLanguages(*names[i]));
        return dir;
    }

    std::uint32_t WriteLanguages(const ResName& name) {
        const auto languages = Ordered(name.languages, tree_.sortEntries);
        const std::uint32_t dir = OpenDirectory(name.dir, languages);
        for (std::size_t i = 0; i < languages.size(); ++i) {
            const std::uint32_t entry = Append(out_.bytes, 16);
            put32(out_.bytes, entry + 4, static_cast<std::uint32_t>(languages[i]->data.size()));
            put32(out_.bytes, entry + 8, languages[i]->codePage);
            put32(out_.bytes, EntryOffset(dir, i) + 4, entry);
            out_.dataEntryOffsets.push_back(entry);
            data_.emplace_back(entry, &languages[i]->data);
        }
        return dir;
    }

    template <class Item>
    std::uint32_t OpenDirectory(const DirInfo& info, const std::vector<const Item*>& items) {
        const std::uint32_t dir = Append(out_.bytes, kDirHeaderSize + kDirEntrySize * items.size());
        put32(out_.bytes, dir, info.characteristics);
        put32(out_.bytes, dir + 4, info.timeDateStamp);
        put16(out_.bytes, dir + 8, info.majorVersion);
        put16(out_.bytes, dir + 10, info.minorVersion);
        const auto named = std::count_if(items.begin(), items.end(), [](const Item* item) { return item->id.named; });
        put16(out_.bytes, dir + kDirNamedCount, static_cast<std::uint16_t>(named));
        put16(out_.bytes, dir + kDirIdCount, static_cast<std::uint16_t>(items.size() - named));
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i]->id.named) names_.emplace_back(EntryOffset(dir, i), &items[i]->id.name);
            else put32(out_.bytes, EntryOffset(dir, i), items[i]->id.id);
        }
        out_.directoryOffsets.push_back(dir);
        return dir;
    }

    static std::uint32_t EntryOffset(std::uint32_t dir, std::size_t i) {
        return static_cast<std::uint32_t>(dir + kDirHeaderSize + kDirEntrySize * i);
    }

    void LinkSubdirectory(std::uint32_t dir, std::size_t i, std::uint32_t child) {
        put32(out_.bytes, EntryOffset(dir, i) + 4, kSubdirectoryBit | child);
    }

    const ResourceTree& tree_;
    std::uint32_t rva_;
    ResourceSection out_;
    std::vector<std::pair<std::uint32_t, const std::u16string*>> names_;  // entry offset, text
    std::vector<std::pair<std::uint32_t, const ByteVec*>> data_;          // data entry offset, bytes
};

void PutName(ByteVec& bytes, std::size_t offset, const std::string& name) {
    for (std::size_t i = 0; i < name.size() && i < 8; ++i) bytes[offset + i] = static_cast<std::uint8_t>(name[i]);
}

}  // namespace

void put16(ByteVec& bytes, std::size_t offset, std::uint16_t value) {
    Check(bytes, offset, 2);
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(ByteVec& bytes, std::size_t offset, std::uint32_t value) {
    Check(bytes, offset, 4);
    put16(bytes, offset, static_cast<std::uint16_t>(value));
    put16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint16_t get16(const ByteVec& bytes, std::size_t offset) {
    Check(bytes, offset, 2);
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t get32(const ByteVec& bytes, std::size_t offset) {
    Check(bytes, offset, 4);
    return get16(bytes, offset) | (static_cast<std::uint32_t>(get16(bytes, offset + 2)) << 16);
}

ResId::ResId(const char* ascii) : named(true) {
    for (; *ascii != '\0'; ++ascii) name.push_back(static_cast<char16_t>(static_cast<unsigned char>(*ascii)));
}

ResourceSection WriteResourceSection(const ResourceTree& tree, std::uint32_t rva) {
    return SectionWriter(tree, rva).Write();
}

WrittenPe WritePe(const PeShape& shape) {
    WrittenPe pe;
    std::vector<const Section*> sections;
    for (const Section& s : shape.sections) sections.push_back(&s);
    Section rsrc{".rsrc", {}, 0x40000040};
    if (shape.resources) {
        pe.resourceSectionIndex = sections.size();
        sections.push_back(&rsrc);
    }
    for (const Section& s : shape.sectionsAfterResources) sections.push_back(&s);

    const std::uint32_t optionalSize = shape.pe32Plus ? 240 : 224;
    const std::uint32_t fileAlign = std::max<std::uint32_t>(shape.fileAlignment, 1);
    const std::uint32_t sectionAlign = std::max<std::uint32_t>(shape.sectionAlignment, 1);
    pe.optionalHeaderOffset = shape.lfanew + 4 + 20;
    pe.dataDirectoryOffset = pe.optionalHeaderOffset + (shape.pe32Plus ? 112 : 96);
    pe.sectionTableOffset = pe.optionalHeaderOffset + optionalSize;
    const std::uint32_t headersEnd = pe.sectionTableOffset + 40 * static_cast<std::uint32_t>(sections.size());
    const std::uint32_t sizeOfHeaders = Align(headersEnd, fileAlign);

    // Addresses and file offsets first; the resource bytes depend on their RVA.
    std::uint32_t va = Align(headersEnd, sectionAlign);
    std::uint32_t raw = sizeOfHeaders;
    std::uint32_t sizeOfCode = 0;
    std::uint32_t entryPoint = 0;
    std::uint32_t baseOfData = 0;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = *sections[i];
        if (pe.resourceSectionIndex == i) {
            pe.resourceRva = va + shape.resourceDirectoryDelta;
            pe.resources = WriteResourceSection(*shape.resources, pe.resourceRva);
            pe.resourceSize = static_cast<std::uint32_t>(pe.resources.bytes.size());
            rsrc.data.assign(shape.resourceDirectoryDelta, 0);
            rsrc.data.insert(rsrc.data.end(), pe.resources.bytes.begin(), pe.resources.bytes.end());
        }
        SectionPlacement place;
        place.name = s.name;
        place.headerOffset = pe.sectionTableOffset + 40 * static_cast<std::uint32_t>(i);
        place.virtualAddress = va;
        place.virtualSize = static_cast<std::uint32_t>(s.data.size());
        place.rawSize = Align(place.virtualSize, fileAlign);
        place.rawOffset = place.rawSize == 0 ? 0 : raw;
        raw += place.rawSize;
        va = Align(va + std::max<std::uint32_t>(place.virtualSize, 1), sectionAlign);
        if (s.characteristics & kScnCode) {
            sizeOfCode += place.rawSize;
            if (pe.baseOfCode == 0) pe.baseOfCode = place.virtualAddress;
        } else if ((s.characteristics & kScnInitializedData) && baseOfData == 0) {
            baseOfData = place.virtualAddress;
        }
        if (s.characteristics & kScnInitializedData) pe.sizeOfInitializedData += place.rawSize;
        pe.sections.push_back(place);
    }
    if (pe.resourceSectionIndex) pe.resourceOffset = pe.sections[*pe.resourceSectionIndex].rawOffset + shape.resourceDirectoryDelta;
    // A DLL without an entry point needs none; an executable returns at once.
    if (!shape.dll) entryPoint = pe.baseOfCode;
    if (shape.baseOfCode) pe.baseOfCode = *shape.baseOfCode;
    pe.sizeOfImage = va;

    ByteVec& b = pe.bytes;
    b.assign(raw, 0);
    put16(b, 0, 0x5A4D);  // "MZ"
    put16(b, 2, 0x90);    // bytes on the last page
    put16(b, 4, 3);       // pages
    put16(b, 8, 4);       // header paragraphs
    put16(b, 12, 0xFFFF); // maximum allocation
    put16(b, 16, 0xB8);   // initial SP
    put16(b, 24, 0x40);   // relocation table offset
    put32(b, 60, shape.lfanew);

    put32(b, shape.lfanew, 0x00004550);  // "PE\0\0"
    const std::uint32_t fh = shape.lfanew + 4;
    put16(b, fh, shape.pe32Plus ? 0x8664 : 0x14C);
    put16(b, fh + 2, static_cast<std::uint16_t>(sections.size()));
    put16(b, fh + 16, static_cast<std::uint16_t>(optionalSize));
    put16(b, fh + 18, static_cast<std::uint16_t>((shape.pe32Plus ? 0x0022 : 0x0102) | (shape.dll ? 0x2000 : 0)));

    const std::uint32_t oh = pe.optionalHeaderOffset;
    put16(b, oh, shape.pe32Plus ? kPe32PlusMagic : kPe32Magic);
    b[oh + 2] = 2;  // linker version
    put32(b, oh + 4, sizeOfCode);
    put32(b, oh + 8, pe.sizeOfInitializedData);
    put32(b, oh + 16, entryPoint);
    put32(b, oh + 20, pe.baseOfCode);
    if (shape.pe32Plus) {
        put32(b, oh + 24, 0x40000000);  // ImageBase, 64-bit: 0x140000000
        put32(b, oh + 28, 0x1);
    } else {
        put32(b, oh + 24, baseOfData);
        put32(b, oh + 28, shape.dll ? 0x10000000 : 0x400000);
    }
    put32(b, oh + 32, shape.sectionAlignment);
    put32(b, oh + 36, shape.fileAlignment);
    put16(b, oh + 40, 4);  // operating system version
    put16(b, oh + 48, 4);  // subsystem version
    put32(b, oh + 56, pe.sizeOfImage);
    put32(b, oh + 60, sizeOfHeaders);
    put16(b, oh + 68, 2);  // Windows GUI
    // Stack and heap reserve and commit; 64-bit fields in PE32+.
    const std::uint32_t step = shape.pe32Plus ? 8 : 4;
    const std::uint32_t reserves[] = {0x100000, 0x1000, 0x100000, 0x1000};
    for (std::uint32_t k = 0; k < 4; ++k) put32(b, oh + 72 + k * step, reserves[k]);
    put32(b, pe.dataDirectoryOffset - 4, 16);  // NumberOfRvaAndSizes
    if (shape.resources) {
        put32(b, pe.ResourceDirectoryRvaField(), pe.resourceRva);
        put32(b, pe.ResourceDirectorySizeField(), pe.resourceSize);
    }

    for (std::size_t i = 0; i < sections.size(); ++i) {
        const SectionPlacement& place = pe.sections[i];
        const std::uint32_t h = place.headerOffset;
        PutName(b, h, place.name);
        put32(b, h + 8, place.virtualSize);
        put32(b, h + kSecVirtualAddress, place.virtualAddress);
        put32(b, h + 16, place.rawSize);
        put32(b, h + kSecPointerToRawData, place.rawOffset);
        put32(b, h + 36, sections[i]->characteristics);
        std::copy(sections[i]->data.begin(), sections[i]->data.end(), b.begin() + place.rawOffset);
    }

    pe.overlayOffset = static_cast<std::uint32_t>(b.size());
    b.insert(b.end(), shape.overlay.begin(), shape.overlay.end());
    if (shape.installer) {
        const InstallerTable& table = *shape.installer;
        pe.installerTableOffset = pe.overlayOffset + table.overlayOffset;
        if (b.size() < pe.installerTableOffset + 44u) b.resize(pe.installerTableOffset + 44u, 0);
        const char tag[] = "Inno";
        std::copy(tag, tag + 4, b.begin() + 0x30);
        put32(b, 0x34, pe.installerTableOffset);
        put32(b, 0x38, ~pe.installerTableOffset);
        if (table.writeTableId) {
            const std::uint8_t id[12] = {'r', 'D', 'l', 'P', 't', 'S', '0', '2', 0x87, 0x65, 0x56, 0x78};
            std::copy(id, id + 12, b.begin() + pe.installerTableOffset);
        }
        for (std::uint32_t k = 0; k < 8; ++k) put32(b, pe.installerTableOffset + 12 + 4 * k, table.values[k]);
    }
    return pe;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vornutils-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const ByteVec& bytes, std::string_view stem) {
    const std::filesystem::path file = path_ / (std::string(stem) + "-" + std::to_string(counter_++) + ".bin");
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

}  // namespace vorn::test
