#include "format/pe_headers.h"

#include <algorithm>
#include <cstring>

#include "base/byte_view.h"

namespace vorn {

using namespace pe;

std::string SectionHeader::Name() const { return std::string(name.data(), strnlen(name.data(), name.size())); }

DataDirectory PeHeaders::Directory(std::uint32_t index) const {
    return index < directories.size() ? directories[index] : DataDirectory{};
}

bool PeHeaders::SectionDataIsSound(std::uint64_t fileLength) const {
    const std::uint64_t room = AlignUp64(fileLength, fileAlignment);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const SectionHeader& s : sections) {
        if (s.pointerToRawData == 0 || s.sizeOfRawData == 0) continue;
        const std::uint64_t end = std::uint64_t{s.pointerToRawData} + s.sizeOfRawData;
        if (end > room) return false;
        ranges.emplace_back(s.pointerToRawData, end);
    }
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) return false;
    }
    return true;
}

std::optional<std::uint64_t> PeHeaders::FileOffsetOf(std::uint32_t rva, std::uint32_t size) const {
    for (const SectionHeader& s : sections) {
        if (s.pointerToRawData != 0 && rva >= s.virtualAddress && Fits(rva - s.virtualAddress, size, s.sizeOfRawData)) {
            return std::uint64_t{s.pointerToRawData} + (rva - s.virtualAddress);
        }
    }
    return std::nullopt;
}

namespace {

// The optional header's layout for its magic, or nullopt for an unknown one.
struct OptionalLayout {
    std::uint32_t directoryCountOffset;
    std::uint32_t directoryOffset;
};

std::optional<OptionalLayout> LayoutFor(std::uint16_t magic) {
    if (magic == kPe32Magic) return OptionalLayout{kOptDirectoryCountOffset, kOptDataDirectoryOffset};
    if (magic == kPe32PlusMagic) return OptionalLayout{kOptPlusDirectoryCountOffset, kOptPlusDataDirectoryOffset};
    return std::nullopt;
}

ResultCode Read(File& stream, std::uint64_t fileLength, ImageKinds kinds, PeHeaders& out, HeaderProblem& problem) {
    const auto refuse = [&](HeaderProblem why) {
        problem = why;
        return ResultCode::NotPeImage;
    };
    if (fileLength == 0) return refuse(HeaderProblem::Empty);

    PeHeaders h;
    const auto dosLength = static_cast<std::size_t>(std::min<std::uint64_t>(fileLength, kDosHeaderSize));
    if (!stream.ReadAt(0, std::span(h.dosHeader.data(), dosLength))) return refuse(HeaderProblem::Truncated);
    if (dosLength < 2 || LoadU16(h.dosHeader.data() + kDosMagicOffset) != kDosMagic) return refuse(HeaderProblem::NotPe);
    if (dosLength < kDosHeaderSize) return refuse(HeaderProblem::Truncated);
    h.peOffset = LoadU32(h.dosHeader.data() + kDosLfanewOffset);

    // The signature, the file header and the optional header's magic.
    constexpr std::uint32_t kHeadSize = kPeSignatureSize + kFileHeaderSize + 2;
    std::array<std::byte, kHeadSize> head{};
    if (!Fits(h.peOffset, kPeSignatureSize, fileLength) ||
        !stream.ReadAt(h.peOffset, std::span(head.data(), kPeSignatureSize)) || LoadU32(head.data()) != kPeSignature) {
        return refuse(HeaderProblem::NotPe);
    }
    if (kinds == ImageKinds::Pe32Only && fileLength < kMinimumImageSize) return refuse(HeaderProblem::Truncated);
    if (!Fits(h.peOffset, kHeadSize, fileLength) || !stream.ReadAt(h.peOffset, head)) {
        return refuse(HeaderProblem::Truncated);
    }
    const std::byte* fileHeader = head.data() + kPeSignatureSize;
    h.sizeOfOptionalHeader = LoadU16(fileHeader + kFileSizeOfOptionalHeaderOffset);
    h.magic = LoadU16(fileHeader + kFileHeaderSize);
    const auto optional = LayoutFor(h.magic);
    if (kinds == ImageKinds::Pe32Only) {
        if (h.sizeOfOptionalHeader != kOptionalHeaderSize || h.magic != kPe32Magic) {
            return refuse(h.magic == kPe32PlusMagic ? HeaderProblem::Pe32Plus : HeaderProblem::UnknownOptionalHeader);
        }
    } else if (!optional || h.sizeOfOptionalHeader < optional->directoryOffset) {
        return refuse(HeaderProblem::UnknownOptionalHeader);
    }
    h.pe32Plus = h.magic == kPe32PlusMagic;

    // Everything up to the end of the section table, as far as the file
    // holds it; the optional header at least must be whole.
    h.numberOfSections = LoadU16(fileHeader + kFileNumberOfSectionsOffset);
    const std::uint64_t optionalEnd = std::uint64_t{h.OptionalHeaderOffset()} + h.sizeOfOptionalHeader;
    if (optionalEnd > fileLength) return refuse(HeaderProblem::Truncated);
    const std::uint64_t sectionRoom = (fileLength - optionalEnd) / kSectionHeaderSize;
    const auto sectionCount = static_cast<std::size_t>(std::min<std::uint64_t>(h.numberOfSections, sectionRoom));
    h.peHeaders.resize(static_cast<std::size_t>(optionalEnd - h.peOffset) + sectionCount * kSectionHeaderSize);
    if (!stream.ReadAt(h.peOffset, h.peHeaders)) return refuse(HeaderProblem::Truncated);

    const std::byte* f = h.peHeaders.data() + kPeSignatureSize;
    h.machine = LoadU16(f + kFileMachineOffset);
    h.pointerToSymbolTable = LoadU32(f + kFilePointerToSymbolTableOffset);
    h.characteristics = LoadU16(f + kFileCharacteristicsOffset);

    const std::byte* o = f + kFileHeaderSize;
    h.sizeOfInitializedData = LoadU32(o + kOptSizeOfInitializedDataOffset);
    h.baseOfCode = LoadU32(o + kOptBaseOfCodeOffset);
    h.sectionAlignment = LoadU32(o + kOptSectionAlignmentOffset);
    h.fileAlignment = LoadU32(o + kOptFileAlignmentOffset);
    h.sizeOfImage = LoadU32(o + kOptSizeOfImageOffset);
    h.sizeOfHeaders = LoadU32(o + kOptSizeOfHeadersOffset);
    h.checkSum = LoadU32(o + kOptCheckSumOffset);
    h.subsystem = LoadU16(o + kOptSubsystemOffset);

    // The loader reads as many directories as NumberOfRvaAndSizes says and
    // the header holds; the exports' fixed PE32 layout always has 16.
    std::uint32_t directoryCount = kDataDirectoryCount;
    if (kinds != ImageKinds::Pe32Only) {
        const std::uint32_t room = (h.sizeOfOptionalHeader - optional->directoryOffset) / kDataDirectoryEntrySize;
        directoryCount = std::min({LoadU32(o + optional->directoryCountOffset), room, kDataDirectoryCount});
    }
    for (std::uint32_t i = 0; i < directoryCount; ++i) {
        const std::byte* d = o + optional->directoryOffset + i * kDataDirectoryEntrySize;
        h.directories.push_back({LoadU32(d), LoadU32(d + 4)});
    }

    const std::byte* table = h.peHeaders.data() + (optionalEnd - h.peOffset);
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::byte* s = table + i * kSectionHeaderSize;
        SectionHeader& section = h.sections.emplace_back();
        std::memcpy(section.name.data(), s, kSecNameSize);
        section.virtualSize = LoadU32(s + kSecVirtualSizeOffset);
        section.virtualAddress = LoadU32(s + kSecVirtualAddressOffset);
        section.sizeOfRawData = LoadU32(s + kSecSizeOfRawDataOffset);
        section.pointerToRawData = LoadU32(s + kSecPointerToRawDataOffset);
        section.pointerToRelocations = LoadU32(s + kSecPointerToRelocationsOffset);
        section.pointerToLinenumbers = LoadU32(s + kSecPointerToLinenumbersOffset);
        section.characteristics = LoadU32(s + kSecCharacteristicsOffset);
    }
    out = std::move(h);
    return ResultCode::Success;
}

}  // namespace

ResultCode ReadPeHeaders(File& stream, std::uint64_t fileLength, ImageKinds kinds, PeHeaders& headers,
                         HeaderProblem* problem) {
    HeaderProblem ignored = HeaderProblem::None;
    HeaderProblem& why = problem != nullptr ? *problem : ignored;
    why = HeaderProblem::None;
    try {
        return Read(stream, fileLength, kinds, headers, why);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

void StorePeHeaders(PeHeaders& h) {
    std::byte* f = h.peHeaders.data() + kPeSignatureSize;
    StoreU16(f + kFileNumberOfSectionsOffset, h.numberOfSections);
    StoreU32(f + kFilePointerToSymbolTableOffset, h.pointerToSymbolTable);

    std::byte* o = f + kFileHeaderSize;
    StoreU32(o + kOptSizeOfInitializedDataOffset, h.sizeOfInitializedData);
    StoreU32(o + kOptSizeOfImageOffset, h.sizeOfImage);
    StoreU32(o + kOptCheckSumOffset, h.checkSum);
    std::byte* d = h.peHeaders.data() + (h.DataDirectoryOffset() - h.peOffset);
    for (std::size_t i = 0; i < h.directories.size(); ++i, d += kDataDirectoryEntrySize) {
        StoreU32(d, h.directories[i].virtualAddress);
        StoreU32(d + 4, h.directories[i].size);
    }

    std::byte* s = h.peHeaders.data() + (h.SectionTableOffset() - h.peOffset);
    for (const SectionHeader& section : h.sections) {
        std::memcpy(s, section.name.data(), kSecNameSize);
        StoreU32(s + kSecCharacteristicsOffset, section.characteristics);
        StoreU32(s + kSecVirtualSizeOffset, section.virtualSize);
        StoreU32(s + kSecVirtualAddressOffset, section.virtualAddress);
        StoreU32(s + kSecSizeOfRawDataOffset, section.sizeOfRawData);
        StoreU32(s + kSecPointerToRawDataOffset, section.pointerToRawData);
        StoreU32(s + kSecPointerToRelocationsOffset, section.pointerToRelocations);
        StoreU32(s + kSecPointerToLinenumbersOffset, section.pointerToLinenumbers);
        s += kSectionHeaderSize;
    }
}

bool WritePeHeaders(File& stream, const PeHeaders& headers) {
    // When e_lfanew points into the DOS header the PE bytes come second, so
    // they win where the two overlap.
    return stream.WriteAt(0, headers.dosHeader) && stream.WriteAt(headers.peOffset, headers.peHeaders);
}

}  // namespace vorn
