// Every on-disk layout the library reads or writes, as sizes and field
// offsets. All values are little-endian.
#pragma once

#include <cstdint>

namespace vorn::pe {

// DOS header, at file offset 0.
//   0  u16 e_magic "MZ"           60  u32 e_lfanew (offset of the PE signature)
inline constexpr std::uint32_t kDosHeaderSize = 64;
inline constexpr std::uint32_t kDosMagicOffset = 0;
inline constexpr std::uint32_t kDosLfanewOffset = 60;
inline constexpr std::uint16_t kDosMagic = 0x5A4D;  // "MZ"

// PE signature "PE\0\0", then the 20-byte file header.
//   2  u16 NumberOfSections      8  u32 PointerToSymbolTable
//  12  u32 NumberOfSymbols      16  u16 SizeOfOptionalHeader
inline constexpr std::uint32_t kPeSignature = 0x00004550;
inline constexpr std::uint32_t kPeSignatureSize = 4;
inline constexpr std::uint32_t kFileHeaderSize = 20;
inline constexpr std::uint32_t kFileNumberOfSectionsOffset = 2;
inline constexpr std::uint32_t kFilePointerToSymbolTableOffset = 8;
inline constexpr std::uint32_t kFileSizeOfOptionalHeaderOffset = 16;

// PE32 optional header, 224 bytes = 96 bytes of fields + 16 data directories
// of 8 bytes. PE32+ images have a 240-byte header and magic 0x20B.
//   0  u16 Magic                   8  u32 SizeOfInitializedData
//  20  u32 BaseOfCode             32  u32 SectionAlignment
//  36  u32 FileAlignment          56  u32 SizeOfImage
//  64  u32 CheckSum               96  data directories
inline constexpr std::uint32_t kOptionalHeaderSize = 224;
inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::uint32_t kOptMagicOffset = 0;
inline constexpr std::uint32_t kOptSizeOfInitializedDataOffset = 8;
inline constexpr std::uint32_t kOptBaseOfCodeOffset = 20;
inline constexpr std::uint32_t kOptSectionAlignmentOffset = 32;
inline constexpr std::uint32_t kOptFileAlignmentOffset = 36;
inline constexpr std::uint32_t kOptSizeOfImageOffset = 56;
inline constexpr std::uint32_t kOptCheckSumOffset = 64;
inline constexpr std::uint32_t kDataDirectoryCount = 16;
inline constexpr std::uint32_t kDataDirectoryEntrySize = 8;  // u32 VirtualAddress, u32 Size
inline constexpr std::uint32_t kDataDirectoriesSize = kDataDirectoryCount * kDataDirectoryEntrySize;
inline constexpr std::uint32_t kOptDataDirectoryOffset = kOptionalHeaderSize - kDataDirectoriesSize;  // 96
inline constexpr std::uint32_t kResourceDirectoryIndex = 2;
inline constexpr std::uint32_t kCertificateDirectoryIndex = 4;
inline constexpr std::uint32_t kDebugDirectoryIndex = 6;

// Section header, 40 bytes.
//   0  char[8] Name               8  u32 VirtualSize
//  12  u32 VirtualAddress        16  u32 SizeOfRawData
//  20  u32 PointerToRawData      24  u32 PointerToRelocations
//  28  u32 PointerToLinenumbers  36  u32 Characteristics
inline constexpr std::uint32_t kSectionHeaderSize = 40;
inline constexpr std::uint32_t kSecVirtualSizeOffset = 8;
inline constexpr std::uint32_t kSecVirtualAddressOffset = 12;
inline constexpr std::uint32_t kSecSizeOfRawDataOffset = 16;
inline constexpr std::uint32_t kSecPointerToRawDataOffset = 20;
inline constexpr std::uint32_t kSecPointerToRelocationsOffset = 24;
inline constexpr std::uint32_t kSecPointerToLinenumbersOffset = 28;

// The probe refuses files shorter than a DOS header, a file header and a
// PE32 optional header together.
inline constexpr std::uint32_t kMinimumImageSize = kDosHeaderSize + kFileHeaderSize + kOptionalHeaderSize;
static_assert(kMinimumImageSize == 308);

// Resource directory (IMAGE_RESOURCE_DIRECTORY), 16 bytes, followed by
// NumberOfNamedEntries + NumberOfIdEntries entries of 8 bytes.
//   0  u32 Characteristics        4  u32 TimeDateStamp
//   8  u16 MajorVersion          10  u16 MinorVersion
//  12  u16 NumberOfNamedEntries  14  u16 NumberOfIdEntries
inline constexpr std::uint32_t kResDirectorySize = 16;
inline constexpr std::uint32_t kResDirCharacteristicsOffset = 0;
inline constexpr std::uint32_t kResDirTimeDateStampOffset = 4;
inline constexpr std::uint32_t kResDirMajorVersionOffset = 8;
inline constexpr std::uint32_t kResDirMinorVersionOffset = 10;
inline constexpr std::uint32_t kResDirNamedCountOffset = 12;
inline constexpr std::uint32_t kResDirIdCountOffset = 14;

// Directory entry, 8 bytes.
//   0  u32 Name: top bit set = offset of a counted UTF-16 string, else an ID
//   4  u32 OffsetToData: top bit set = offset of a subdirectory, else of a data entry
inline constexpr std::uint32_t kResEntrySize = 8;
inline constexpr std::uint32_t kResHighBit = 0x80000000;
inline constexpr std::uint32_t kResOffsetMask = 0x7FFFFFFF;

// Counted string (IMAGE_RESOURCE_DIR_STRING_U): u16 length in code units,
// then the UTF-16 code units without a terminator.

// Data entry (IMAGE_RESOURCE_DATA_ENTRY), 16 bytes.
//   0  u32 OffsetToData (an RVA)  4  u32 Size
//   8  u32 CodePage              12  u32 Reserved
inline constexpr std::uint32_t kResDataEntrySize = 16;
inline constexpr std::uint32_t kResDataRvaOffset = 0;
inline constexpr std::uint32_t kResDataSizeOffset = 4;
inline constexpr std::uint32_t kResDataCodePageOffset = 8;

// Well-known resource types.
inline constexpr std::int32_t kRtCursor = 1;
inline constexpr std::int32_t kRtBitmap = 2;
inline constexpr std::int32_t kRtIcon = 3;
inline constexpr std::int32_t kRtGroupIcon = 14;
inline constexpr std::int32_t kRtVersion = 16;

// The name of a well-known numeric resource type, or nullptr.
constexpr const char* ResourceTypeLabel(std::int32_t typeId) {
    switch (typeId) {
        case 1: return "RT_CURSOR";
        case 2: return "RT_BITMAP";
        case 3: return "RT_ICON";
        case 4: return "RT_MENU";
        case 5: return "RT_DIALOG";
        case 6: return "RT_STRING";
        case 7: return "RT_FONTDIR";
        case 8: return "RT_FONT";
        case 9: return "RT_ACCELERATOR";
        case 10: return "RT_RCDATA";
        case 11: return "RT_MESSAGETABLE";
        case 12: return "RT_GROUP_CURSOR";
        case 14: return "RT_GROUP_ICON";
        case 16: return "RT_VERSION";
        case 17: return "RT_DLGINCLUDE";
        case 19: return "RT_PLUGPLAY";
        case 20: return "RT_VXD";
        case 21: return "RT_ANICURSOR";
        case 22: return "RT_ANIICON";
        case 23: return "RT_HTML";
        case 24: return "RT_MANIFEST";
        default: return nullptr;
    }
}

}  // namespace vorn::pe
