// Writes the seed corpora: fixtures made by the test writers, and for every
// PE or .ico file named on the command line the inputs each target takes
// from it (the whole file, its resource section, its version resource).
//   fuzz_make_seeds OUT_DIR [FILE]...
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bodies.h"
#include "image/edit_journal.h"
#include "kinds/icon/icon_set.h"
#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "support/ico_writer.h"
#include "support/pe_writer.h"

namespace {

namespace fs = std::filesystem;
using vorn::test::ByteVec;

fs::path out;
// Whole files larger than this make slow inputs; their parts still seed.
constexpr std::size_t kMaxWholeFile = 64 * 1024;

void Put(const char* target, const std::string& name, const ByteVec& bytes) {
    fs::create_directories(out / target);
    std::ofstream(out / target / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                static_cast<std::streamsize>(bytes.size()));
}

void PutImage(const std::string& name, const ByteVec& bytes) {
    if (bytes.size() > kMaxWholeFile) return;
    for (const char* target : {"module-group", "version-roundtrip", "icon-replace"}) Put(target, name, bytes);
}

// The parts of an image: its resource section (after its RVA) and its first
// version resource.
void PutParts(const std::string& name, const std::string& path) {
    vorn::Image image;
    if (vorn::OpenImageForEdit(path.c_str(), image, true, vorn::ImageKinds::Pe32OrPe32Plus) != vorn::ResultCode::Success) {
        return;
    }
    if (image.resourceBytes->size() > kMaxWholeFile) return;
    ByteVec section(4);
    vorn::test::put32(section, 0, image.layout.resourceRva);
    for (const std::byte b : *image.resourceBytes) section.push_back(std::to_integer<std::uint8_t>(b));
    Put("resource-table", name, section);
    for (const vorn::ResourceEntry& entry : image.table.entries) {
        if (entry.typeId != vorn::pe::kRtVersion) continue;
        ByteVec blob;
        for (const std::byte b : entry.Bytes()) blob.push_back(std::to_integer<std::uint8_t>(b));
        Put("version-parser", name, blob);
        Put("version-tree", name, blob);
        break;
    }
    vorn::CloseImage(image);
}

ByteVec ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(in), {});
}

// A version resource with one StringTable and a Translation, in the layout
// the parser documents.
ByteVec VersionBlob() {
    ByteVec b;
    const auto u16 = [&](std::uint16_t v) { b.push_back(v & 0xFF); b.push_back(static_cast<std::uint8_t>(v >> 8)); };
    const auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF); u16(static_cast<std::uint16_t>(v >> 16)); };
    const auto text = [&](std::u16string_view s) { for (char16_t c : s) u16(c); u16(0); };
    const auto pad = [&] { while (b.size() % 4 != 0) b.push_back(0); };
    const auto begin = [&](std::uint16_t valueLength, std::uint16_t type, std::u16string_view key) {
        pad();
        const std::size_t at = b.size();
        u16(0); u16(valueLength); u16(type); text(key); pad();
        return at;
    };
    const auto end = [&](std::size_t at) { vorn::test::put16(b, at, static_cast<std::uint16_t>(b.size() - at)); };
    const std::size_t root = begin(52, 0, u"VS_VERSION_INFO");
    for (std::uint32_t v : {0xFEEF04BDu, 0x10000u, 0x10002u, 0x30004u, 0x10002u, 0x30004u, 0x3Fu, 0u, 4u, 1u, 0u, 0u, 0u}) u32(v);
    const std::size_t sfi = begin(0, 1, u"StringFileInfo");
    const std::size_t table = begin(0, 1, u"040904b0");
    for (auto [key, value] : {std::pair{u"FileVersion", u"1.2.3.4"}, std::pair{u"CompanyName", u"Example"},
                              std::pair{u"FileDescription", u"Seed"}}) {
        const std::size_t s = begin(static_cast<std::uint16_t>(std::u16string_view(value).size() + 1), 1, key);
        text(value);
        end(s);
    }
    end(table);
    end(sfi);
    const std::size_t vfi = begin(0, 1, u"VarFileInfo");
    const std::size_t var = begin(4, 0, u"Translation");
    u32(0x04B00409);
    end(var);
    end(vfi);
    end(root);
    return b;
}

void PutFixtures() {
    using namespace vorn::test;
    const ByteVec version = VersionBlob();
    Put("version-parser", "fixture-version", version);
    Put("version-tree", "fixture-version", version);

    IcoLayout layout;
    layout.images = {IcoImage(16, 16, IconBitmap(16, 16, 1)), IcoImage(32, 32, IconPayload(300, 2), 8)};
    const ByteVec ico = WriteIco(layout);
    Put("ico-reader", "fixture-two-images.ico", ico);
    layout.placement = IcoPlacement::Reversed;
    Put("ico-reader", "fixture-reversed.ico", WriteIco(layout));

    // The group of `ico` as a resource: entries of 14 bytes naming ids 1 and 2.
    ByteVec group{0, 0, 1, 0, 2, 0};
    for (std::uint16_t i = 0; i < 2; ++i) {
        group.insert(group.end(), ico.begin() + 6 + 16 * i, ico.begin() + 6 + 16 * i + 12);
        group.push_back(static_cast<std::uint8_t>(i + 1));
        group.push_back(0);
    }
    const auto images = [&](int language) {
        return std::vector<ResName>{{1, {{language, layout.images[0].data}}}, {2, {{language, layout.images[1].data}}}};
    };

    ResourceTree full;
    full.types = {{3, images(1033)},
                  {14, {{"MAINICON", {{1033, group}}}, {7, {{0, group}, {1031, group}}}}},
                  {16, {{1, {{1033, version, 1252}}}}},
                  {10, {{u"data", {{0, {1, 2, 3}}}}}},
                  {u"CUSTOM", {{5, {{1033, {9, 9}}}}}}};
    PeShape shape;
    shape.resources = full;
    PutImage("fixture-full.exe", WritePe(shape).bytes);
    PutParts("fixture-full", (out / "icon-replace" / "fixture-full.exe").string());

    shape.sectionsAfterResources.push_back({".reloc", ByteVec(0x300, 7), 0x42000040});
    shape.overlay = ByteVec(0x400, 0xAB);
    shape.installer = InstallerTable{0x10, {1, 2, 3, 4, 5, 6, 7, 8}, true};
    PutImage("fixture-tail.exe", WritePe(shape).bytes);

    shape.pe32Plus = true;
    shape.fileAlignment = 0x40;
    PutImage("fixture-pe32plus.exe", WritePe(shape).bytes);

    PeShape bare;
    ResourceTree rcdata;
    rcdata.types = {{10, {{1, {{1033, {1, 2, 3, 4}}}}}}};
    bare.resources = rcdata;
    PutImage("fixture-no-icon-no-version.exe", WritePe(bare).bytes);
}

// Journals of edits of the journal target as Begin writes them and as each
// record of the edit leaves them, made without the file's identity: the
// fuzz target plays them on another file. Only the shrinking edit's match
// the target as it is; the others meet a file of the wrong length.
void PutJournals() {
    std::size_t size = 0;
    const std::uint8_t* bytes = vorn::fuzz::JournalTarget(size);
    const fs::path target = out / "journal-scratch.exe";
    const fs::path journalPath = out / "journal-scratch.journal";
    struct Shape {
        const char* name;
        std::uint64_t oldEnd, newEnd;
        bool checksum;
    };
    for (const Shape& shape : {Shape{"shrink", 0x3000, 0x2000, true}, Shape{"grow", 0x3000, 0x3800, true},
                               Shape{"writes", 0x3000, 0x3000, false}}) {
        std::ofstream(target, std::ios::binary).write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        vorn::journal::EditPlan plan;
        plan.fileLength = size;
        plan.move.oldEnd = shape.oldEnd;
        plan.move.newEnd = shape.newEnd;
        plan.move.tailLength = size - shape.oldEnd;
        plan.newLength = shape.newEnd + plan.move.tailLength;
        plan.writes.push_back({0x1000, std::vector<std::byte>(shape.newEnd - 0x1000, std::byte{0x5A})});
        plan.writes.push_back({0, std::vector<std::byte>(0x200, std::byte{0x4D})});
        plan.checksumField = 0xD8;
        plan.checksum = shape.checksum;
        auto file = vorn::File::Open(target.c_str(), vorn::File::Mode::ReadWrite);
        auto journal = vorn::File::Open(journalPath.c_str(), vorn::File::Mode::Create);
        if (!file || !journal || !vorn::journal::TakeFingerprint(*file, plan)) continue;
        plan.target.id.reset();
        if (!vorn::journal::Begin(*journal, plan)) continue;
        ByteVec last;
        int n = 0;
        const auto keep = [&](vorn::File::Operation) {
            const ByteVec now = ReadAll(journalPath);
            if (now != last) Put("journal-replay", std::string("journal-") + shape.name + "-" + std::to_string(n++), now);
            last = now;
            return false;
        };
        keep({});
        journal->SetFaultHook(keep);
        bool outOfMemory = false;
        (void)vorn::journal::CarryOut(*file, *journal, plan, {}, outOfMemory);
        journal->Close();
        keep({});
    }
    fs::remove(target);
    fs::remove(journalPath);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds OUT_DIR [FILE]...\n");
        return 64;
    }
    out = argv[1];
    PutFixtures();
    PutJournals();
    for (int i = 2; i < argc; ++i) {
        const fs::path path = argv[i];
        const std::string name = path.parent_path().filename().string() + "-" + path.filename().string();
        const ByteVec bytes = ReadAll(path);
        if (path.extension() == ".ico") {
            Put("ico-reader", name, bytes);
            continue;
        }
        PutImage(name, bytes);
        PutParts(name, path.string());
    }
    return 0;
}
