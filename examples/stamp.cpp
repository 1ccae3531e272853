// Stamps a program the way a build does, through the editing library:
// lists its resources, puts a file in as an RCDATA resource, gives it a new
// icon and a version, and writes the result to another file, all in one
// commit.
//
//   stamp PROGRAM DATA ICON.ico VERSION OUT
#include <cstdio>

#include <vornutils/editing.h>
#include <vornutils/version.h>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s PROGRAM DATA ICON.ico VERSION OUT\n", argv[0]);
        return 64;
    }
    // A killed edit of the program is finished or undone here, first.
    auto image = vornutils::Image::Open(argv[1]);
    if (!image) {
        std::fprintf(stderr, "%s\n", image.error().Message().c_str());
        return static_cast<int>(image.error().code);
    }
    for (const vornutils::ResourceInfo& r : image->Resources().List()) {
        std::printf("%s %s %u: %u bytes\n", r.key.type.ToString().c_str(), r.key.name.ToString().c_str(),
                    r.key.language, r.size);
    }

    // The data is read as the commit writes it, not held in memory first.
    const vornutils::ResourceKey key{vornutils::types::RcData, vornutils::ResourceId("STAMP")};
    if (auto set = image->Resources().SetFromFile(key, argv[2]); !set) {
        std::fprintf(stderr, "%s\n", set.error().Message().c_str());
        return static_cast<int>(set.error().code);
    }
    if (auto icon = vornutils::ReplaceMainIcon(*image, argv[3]); !icon) {
        std::fprintf(stderr, "%s\n", icon.error().Message().c_str());
        return static_cast<int>(icon.error().code);
    }
    // The numbers and the FileVersion and ProductVersion strings, in the
    // resource and table Windows shows (a file without one gets one).
    vornutils::VersionChanges changes;
    changes.fileVersion = changes.productVersion = vornutils::VersionNumber::Parse(argv[4]);
    if (!changes.fileVersion) {
        std::fprintf(stderr, "%s is not a version such as 1.2.3.4\n", argv[4]);
        return 64;
    }
    changes.strings.push_back({u"CompanyName", u"Example Ltd"});
    if (auto version = vornutils::EditVersion(*image, changes); !version) {
        std::fprintf(stderr, "%s\n", version.error().Message().c_str());
        return static_cast<int>(version.error().code);
    }

    vornutils::CommitOptions options;
    options.output = argv[5];
    options.signature = vornutils::SignatureHandling::Strip;  // to be signed again
    options.progress = [](std::uint64_t done, std::uint64_t total) {
        std::fprintf(stderr, "\r%llu of %llu bytes moved", static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total));
    };
    const auto report = image->Commit(options);
    if (!report) {
        std::fprintf(stderr, "%s\n", report.error().Message().c_str());
        return static_cast<int>(report.error().code);
    }
    std::printf("%s written%s\n", argv[5], report->checksumUpdated ? ", checksum updated" : "");
    return 0;
}
