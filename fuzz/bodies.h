// What each fuzz target does with one input, shared by the libFuzzer
// targets and the regression tests, so that an input kept from a campaign
// runs through exactly the code that once broke. Each answers null when the
// library kept its promises, else what it broke.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::fuzz {

using Body = const char* (*)(const std::uint8_t* data, std::size_t size);

// The resource directory loader on raw section bytes: 4 bytes of section
// RVA, then the section. A table that loads is rebuilt and must load again
// as the same resources.
const char* ResourceTable(const std::uint8_t* data, std::size_t size);

// The version parser on a raw VS_VERSIONINFO blob. What parses must
// serialise, and the serialised form must parse and serialise to itself.
const char* VersionParser(const std::uint8_t* data, std::size_t size);

// The .ico reader on a file holding the input.
const char* IcoReader(const std::uint8_t* data, std::size_t size);

// The module reader: the input as a module, its first icon group read as a
// source and extracted as an .ico, which must read back as the same images.
const char* ModuleGroup(const std::uint8_t* data, std::size_t size);

// The version exports on a file holding the input: read, write back what was
// read, read again; the two reads agree, and a failed write changes nothing.
const char* VersionRoundTrip(const std::uint8_t* data, std::size_t size);

// The icon export on a file holding the input, from a fixed .ico: a success
// leaves a file whose main group holds exactly those images, a failure
// leaves the file unchanged.
const char* IconReplace(const std::uint8_t* data, std::size_t size);

// The journal reader on a journal holding the input (its CRCs made right,
// so that mutations reach what they guard), beside a fixed target: the
// target never grows, a file beside it never changes, and unless the
// journal finished its edit or put the file back the target is as it was.
const char* JournalReplay(const std::uint8_t* data, std::size_t size);
// The version tree on a raw VS_VERSIONINFO blob. A tree that reads is
// written as the bytes it was read from; written afresh it reads back as
// itself; after an edit of one table, the other root children keep their
// bytes.
const char* VersionTree(const std::uint8_t* data, std::size_t size);

struct Target {
    const char* name;  // also the folder of its regression inputs
    Body body;
};

inline constexpr Target kTargets[] = {
    {"resource-table", &ResourceTable}, {"version-parser", &VersionParser},
    {"ico-reader", &IcoReader},         {"module-group", &ModuleGroup},
    {"version-roundtrip", &VersionRoundTrip}, {"icon-replace", &IconReplace},
    {"journal-replay", &JournalReplay},
    {"version-tree", &VersionTree},
};

// The .ico that IconReplace puts in: two small images.
const std::uint8_t* ReplacementIco(std::size_t& size);

// The file JournalReplay plays its journals on.
const std::uint8_t* JournalTarget(std::size_t& size);

}  // namespace vorn::fuzz
