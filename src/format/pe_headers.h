// The headers of a PE image as one model: the DOS header, the file header,
// the optional header (PE32 or PE32+), the data directories and the section
// table. An open image reads them once; a rewrite edits this model and
// writes it back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "format/pe_format.h"
#include "platform/file.h"

namespace vorn {

// Which images an operation accepts. The exports take PE32 with the
// standard 224-byte optional header only; vornres takes PE32 and PE32+ with
// any optional header size that holds the fixed fields.
enum class ImageKinds { Pe32Only, Pe32OrPe32Plus };

// Why a file was refused as no PE image (NotPeImage), for messages.
enum class HeaderProblem {
    None,
    Empty,                  // the file has no bytes
    NotPe,                  // no "MZ", or no PE signature where the DOS header says
    Truncated,              // starts as a PE image but ends inside its headers
    Pe32Plus,               // a PE32+ image where only PE32 is accepted
    UnknownOptionalHeader,  // neither PE32 nor PE32+, or a size that does not suit its magic
};

struct DataDirectory {
    std::uint32_t virtualAddress = 0;
    std::uint32_t size = 0;
};

struct SectionHeader {
    std::array<char, pe::kSecNameSize> name{};
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t sizeOfRawData = 0;
    std::uint32_t pointerToRawData = 0;
    std::uint32_t pointerToRelocations = 0;
    std::uint32_t pointerToLinenumbers = 0;
    std::uint32_t characteristics = 0;

    // The name up to its first NUL.
    [[nodiscard]] std::string Name() const;
};

struct PeHeaders {
    bool pe32Plus = false;
    std::uint32_t peOffset = 0;  // e_lfanew: where the PE signature is
    // File header.
    std::uint16_t machine = 0;
    std::uint16_t numberOfSections = 0;  // as the header says; `sections` holds those the file holds
    std::uint32_t pointerToSymbolTable = 0;
    std::uint16_t sizeOfOptionalHeader = 0;
    std::uint16_t characteristics = 0;
    // Optional header.
    std::uint16_t magic = 0;
    std::uint32_t sizeOfInitializedData = 0;
    std::uint32_t baseOfCode = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t checkSum = 0;
    std::uint16_t subsystem = 0;
    // Those the optional header holds and NumberOfRvaAndSizes counts, at
    // most 16 (PE32 only: always 16, as the 224-byte header holds).
    std::vector<DataDirectory> directories;
    std::vector<SectionHeader> sections;

    // The bytes the model was read from and is written back to: the 64-byte
    // DOS header at offset 0, and everything from the PE signature to the end
    // of the section table at peOffset. Fields the model does not name pass
    // through unchanged.
    std::array<std::byte, pe::kDosHeaderSize> dosHeader{};
    std::vector<std::byte> peHeaders;

    [[nodiscard]] std::uint32_t FileHeaderOffset() const { return peOffset + pe::kPeSignatureSize; }
    [[nodiscard]] std::uint32_t OptionalHeaderOffset() const { return FileHeaderOffset() + pe::kFileHeaderSize; }
    [[nodiscard]] std::uint32_t DataDirectoryOffset() const {
        return OptionalHeaderOffset() + (pe32Plus ? pe::kOptPlusDataDirectoryOffset : pe::kOptDataDirectoryOffset);
    }
    [[nodiscard]] std::uint32_t SectionTableOffset() const { return OptionalHeaderOffset() + sizeOfOptionalHeader; }
    // Where the section table ends: no section's data may begin before it.
    [[nodiscard]] std::uint64_t HeadersEnd() const { return std::uint64_t{peOffset} + peHeaders.size(); }
    [[nodiscard]] bool IsDll() const { return (characteristics & pe::kFileDll) != 0; }

    // True when every section's raw data lies in a file of `fileLength`
    // bytes (the last may lack the padding of its last alignment unit) and
    // no two sections share raw bytes: a rewrite moves each as a whole.
    [[nodiscard]] bool SectionDataIsSound(std::uint64_t fileLength) const;

    // The directory at `index`; zeros when the header has none there.
    [[nodiscard]] DataDirectory Directory(std::uint32_t index) const;
    // The file offset of `size` bytes at `rva`: the first section whose file
    // data holds them all; nullopt when none does.
    [[nodiscard]] std::optional<std::uint64_t> FileOffsetOf(std::uint32_t rva, std::uint32_t size) const;
};

// Reads the headers from the start of `stream`, a file of `fileLength`
// bytes. Returns 0, or NotPeImage with the reason in `problem`. A section
// table cut short by the end of the file holds the headers that are whole.
ResultCode ReadPeHeaders(File& stream, std::uint64_t fileLength, ImageKinds kinds, PeHeaders& headers,
                         HeaderProblem* problem = nullptr);

// Stores the model's fields into dosHeader and peHeaders, ready to be
// written at offset 0 and at peOffset.
void StorePeHeaders(PeHeaders& headers);

// Writes both header blocks back; false when a write fails.
[[nodiscard]] bool WritePeHeaders(File& stream, const PeHeaders& headers);

}  // namespace vorn
