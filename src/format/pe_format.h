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
//   0  u16 Machine                2  u16 NumberOfSections
//   8  u32 PointerToSymbolTable  12  u32 NumberOfSymbols
//  16  u16 SizeOfOptionalHeader  18  u16 Characteristics
inline constexpr std::uint32_t kPeSignature = 0x00004550;
inline constexpr std::uint32_t kPeSignatureSize = 4;
inline constexpr std::uint32_t kFileHeaderSize = 20;
inline constexpr std::uint32_t kFileMachineOffset = 0;
inline constexpr std::uint32_t kFileNumberOfSectionsOffset = 2;
inline constexpr std::uint32_t kFilePointerToSymbolTableOffset = 8;
inline constexpr std::uint32_t kFileNumberOfSymbolsOffset = 12;
inline constexpr std::uint32_t kFileSizeOfOptionalHeaderOffset = 16;
inline constexpr std::uint32_t kFileCharacteristicsOffset = 18;
inline constexpr std::uint16_t kFileDll = 0x2000;  // IMAGE_FILE_DLL

// Optional header. PE32 (magic 0x10B) and PE32+ (0x20B) share the fields
// below up to offset 72; PE32+ widens ImageBase and the four stack and heap
// sizes to 64 bits, which moves NumberOfRvaAndSizes and the data directories
// 16 bytes further. A standard PE32 header is 224 bytes, a PE32+ one 240.
//   0  u16 Magic                   8  u32 SizeOfInitializedData
//  20  u32 BaseOfCode             32  u32 SectionAlignment
//  36  u32 FileAlignment          56  u32 SizeOfImage
//  60  u32 SizeOfHeaders          64  u32 CheckSum
//  68  u16 Subsystem
//  PE32:  92 u32 NumberOfRvaAndSizes,  96 data directories
//  PE32+: 108 u32 NumberOfRvaAndSizes, 112 data directories
inline constexpr std::uint32_t kOptionalHeaderSize = 224;  // PE32 with 16 directories
inline constexpr std::uint32_t kOptionalHeaderPlusSize = 240;  // PE32+ with 16 directories
inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::uint32_t kOptMagicOffset = 0;
inline constexpr std::uint32_t kOptSizeOfInitializedDataOffset = 8;
inline constexpr std::uint32_t kOptBaseOfCodeOffset = 20;
inline constexpr std::uint32_t kOptSectionAlignmentOffset = 32;
inline constexpr std::uint32_t kOptFileAlignmentOffset = 36;
inline constexpr std::uint32_t kOptSizeOfImageOffset = 56;
inline constexpr std::uint32_t kOptSizeOfHeadersOffset = 60;
inline constexpr std::uint32_t kOptCheckSumOffset = 64;
inline constexpr std::uint32_t kOptSubsystemOffset = 68;
inline constexpr std::uint32_t kOptDirectoryCountOffset = 92;
inline constexpr std::uint32_t kOptPlusDirectoryCountOffset = 108;
inline constexpr std::uint32_t kOptDataDirectoryOffset = 96;
inline constexpr std::uint32_t kOptPlusDataDirectoryOffset = 112;
inline constexpr std::uint32_t kDataDirectoryCount = 16;
inline constexpr std::uint32_t kDataDirectoryEntrySize = 8;  // u32 VirtualAddress, u32 Size
inline constexpr std::uint32_t kDataDirectoriesSize = kDataDirectoryCount * kDataDirectoryEntrySize;
static_assert(kOptDataDirectoryOffset + kDataDirectoriesSize == kOptionalHeaderSize);
static_assert(kOptPlusDataDirectoryOffset + kDataDirectoriesSize == kOptionalHeaderPlusSize);
inline constexpr std::uint32_t kResourceDirectoryIndex = 2;
inline constexpr std::uint32_t kCertificateDirectoryIndex = 4;  // the one directory that holds a file offset
inline constexpr std::uint32_t kDebugDirectoryIndex = 6;

// Section header, 40 bytes.
//   0  char[8] Name               8  u32 VirtualSize
//  12  u32 VirtualAddress        16  u32 SizeOfRawData
//  20  u32 PointerToRawData      24  u32 PointerToRelocations
//  28  u32 PointerToLinenumbers  32  u16 NumberOfRelocations
//  34  u16 NumberOfLinenumbers   36  u32 Characteristics
inline constexpr std::uint32_t kSectionHeaderSize = 40;
inline constexpr std::uint32_t kSecNameSize = 8;
inline constexpr std::uint32_t kSecVirtualSizeOffset = 8;
inline constexpr std::uint32_t kSecVirtualAddressOffset = 12;
inline constexpr std::uint32_t kSecSizeOfRawDataOffset = 16;
inline constexpr std::uint32_t kSecPointerToRawDataOffset = 20;
inline constexpr std::uint32_t kSecPointerToRelocationsOffset = 24;
inline constexpr std::uint32_t kSecPointerToLinenumbersOffset = 28;
inline constexpr std::uint32_t kSecCharacteristicsOffset = 36;
inline constexpr std::uint32_t kSecInitializedData = 0x00000040;  // IMAGE_SCN_CNT_INITIALIZED_DATA
inline constexpr std::uint32_t kSecMemRead = 0x40000000;          // IMAGE_SCN_MEM_READ

// The probe refuses files shorter than a DOS header, a file header and a
// PE32 optional header together.
inline constexpr std::uint32_t kMinimumImageSize = kDosHeaderSize + kFileHeaderSize + kOptionalHeaderSize;
static_assert(kMinimumImageSize == 308);

// Debug directory entry (IMAGE_DEBUG_DIRECTORY), 28 bytes.
//  20  u32 AddressOfRawData (an RVA)  24  u32 PointerToRawData (a file offset)
inline constexpr std::uint32_t kDebugEntrySize = 28;
inline constexpr std::uint32_t kDebugAddressOffset = 20;
inline constexpr std::uint32_t kDebugPointerOffset = 24;

// Certificate table (the certificate data directory gives a file offset and
// a size): WIN_CERTIFICATE entries, each u32 dwLength, u16 wRevision,
// u16 wCertificateType and the certificate, padded to 8 bytes.
inline constexpr std::uint32_t kCertificateHeaderSize = 8;

// An installer's loader keeps a table of file offsets into its appended data:
// the tag "Inno" at 0x30, the table's offset at 0x34 and its complement at
// 0x38, and at that offset a 12-byte id followed by eight 32-bit values.
inline constexpr std::uint32_t kInstallerTagOffset = 0x30;
inline constexpr std::uint32_t kInstallerTagSize = 12;  // tag, offset, complement
inline constexpr std::uint8_t kInstallerTag[4] = {'I', 'n', 'n', 'o'};
inline constexpr std::uint8_t kInstallerTableId[12] = {'r', 'D', 'l', 'P', 't', 'S', '0', '2', 0x87, 0x65, 0x56, 0x78};
inline constexpr std::uint32_t kInstallerTableIdSize = 12;
inline constexpr std::uint32_t kInstallerValueCount = 8;
inline constexpr std::uint32_t kInstallerTableSize = kInstallerTableIdSize + 4 * kInstallerValueCount;
// Values 1, 2, 6, 7 and 8 (counting from 1) are file offsets or the file's
// size; 3, 4 and 5 are not.
inline constexpr bool kInstallerValueMoves[kInstallerValueCount] = {true, true, false, false, false, true, true, true};

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
