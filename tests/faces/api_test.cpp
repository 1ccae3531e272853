// The public C++ API's promises that the tool's checks cannot see: an edit
// that fails leaves the image as it was, an unchanged image is committed as
// the file itself, and a version resource still in the file it is to be
// read from can be edited before the commit.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/pe_writer.h"
#include "vornutils/editing.h"
#include "vornutils/version.h"

namespace {

using vorn::test::ByteVec;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A program with one RCDATA resource and no version information.
std::string Program(vorn::test::TempDir& dir) {
    vorn::test::PeShape shape;
    shape.resources = vorn::test::ResourceTree{{vorn::test::ResType(10, {vorn::test::ResName(1, {{0, ByteVec(40, 7)}})})}};
    return dir.Write(vorn::test::WritePe(shape).bytes);
}

vornutils::Image Open(const std::string& path) {
    auto image = vornutils::Image::Open(path);
    EXPECT_TRUE(image) << image.error().Message();
    return std::move(*image);
}

// A string of the table Windows shows.
std::u16string Value(const vornutils::Image& image, std::u16string_view key) {
    auto versions = vornutils::ReadVersions(image);
    if (!versions || versions->size() != 1) return u"(no version information)";
    auto* table = vornutils::version::ShownTable(versions->front().resource);
    const auto* s = table != nullptr ? table->Find(key) : nullptr;
    return s != nullptr ? s->value : u"(none)";
}

TEST(EditingApi, RefusedEditLeavesImageAndFileAsTheyWere) {
    vorn::test::TempDir dir;
    const std::string path = Program(dir);
    const std::string before = Contents(path);
    vornutils::Image image = Open(path);

    vornutils::VersionChanges tooLong;
    tooLong.fileVersion = vornutils::VersionNumber::Parse("3.1");
    tooLong.strings.push_back({u"Comments", std::u16string(40000, u'x')});
    const auto refused = vornutils::EditVersion(image, tooLong);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, vornutils::Code::BadVersionRecord);
    EXPECT_TRUE(vornutils::ReadVersions(image)->empty());

    // Nothing changed: the output is the input, byte for byte, and so is the file.
    const std::string out = (dir.path() / "out.exe").string();
    vornutils::CommitOptions options;
    options.output = out;
    ASSERT_TRUE(image.Commit(options));
    EXPECT_EQ(Contents(out), before);
    EXPECT_EQ(Contents(path), before);
}

TEST(EditingApi, NewVersionResourceFollowsTheGivenVersion) {
    vorn::test::TempDir dir;
    const std::string path = Program(dir);
    vornutils::Image image = Open(path);
    vornutils::VersionChanges changes;
    changes.fileVersion = vornutils::VersionNumber::Parse("3.1");
    changes.strings.push_back({u"CompanyName", u"Example"});
    ASSERT_TRUE(vornutils::EditVersion(image, changes));
    ASSERT_TRUE(image.Commit());

    const vornutils::Image written = Open(path);
    const auto versions = vornutils::ReadVersions(written);
    ASSERT_TRUE(versions && versions->size() == 1);
    const vornutils::VersionEntry& v = versions->front();
    EXPECT_EQ(v.key.language, 1033);
    EXPECT_EQ(v.resource.fixed.fileVersionMS, 0x00030001u);
    EXPECT_EQ(v.resource.fixed.productVersionMS, 0x00030001u);  // the product version follows
    EXPECT_EQ(Value(written, u"FileVersion"), u"3.1");           // as written, not 3.1.0.0
    EXPECT_EQ(Value(written, u"ProductVersion"), u"3.1");
    EXPECT_EQ(Value(written, u"CompanyName"), u"Example");
    EXPECT_EQ(written.Resources().List().size(), 2u);  // the RCDATA stays
}

TEST(EditingApi, VersionSetFromAFileCanBeEditedBeforeTheCommit) {
    vorn::test::TempDir dir;
    // Version information made by the library, kept as a file of its own.
    const std::string donor = Program(dir);
    std::string blob;
    {
        vornutils::Image image = Open(donor);
        vornutils::VersionChanges changes;
        changes.strings.push_back({u"ProductName", u"Donor"});
        ASSERT_TRUE(vornutils::EditVersion(image, changes));
        ASSERT_TRUE(image.Commit());
        const vornutils::Image written = Open(donor);
        const auto bytes = written.Resources().Read({vornutils::types::Version, std::uint16_t{1}, 1033});
        ASSERT_TRUE(bytes);
        blob = (dir.path() / "version.bin").string();
        std::ofstream(blob, std::ios::binary).write(reinterpret_cast<const char*>(bytes->data()),
                                                    static_cast<std::streamsize>(bytes->size()));
    }

    const std::string path = Program(dir);
    vornutils::Image image = Open(path);
    ASSERT_TRUE(image.Resources().SetFromFile({vornutils::types::Version, std::uint16_t{1}, 1033}, blob));
    vornutils::VersionChanges changes;
    changes.strings.push_back({u"CompanyName", u"Example"});
    const auto edited = vornutils::EditVersion(image, changes);
    ASSERT_TRUE(edited) << edited.error().Message();
    ASSERT_TRUE(image.Commit());

    const vornutils::Image written = Open(path);
    EXPECT_EQ(Value(written, u"ProductName"), u"Donor");
    EXPECT_EQ(Value(written, u"CompanyName"), u"Example");
}

}  // namespace
