// Measures a resource commit on a PE32 file with a large appended tail
// against cp of the same file, the commit's peak memory, and how building
// and sorting resource tables grow with their size. Figures only; nothing is
// asserted.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "image/image.h"
#include "platform/platform.h"
#include "image/image_rewrite.h"
#include "format/section_builder.h"
#include "support/pe_writer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kMiB = 1u << 20;
constexpr std::uint32_t kAddedResourceSize = 64 * 1024;
constexpr long kTmpfsMagic = 0x01021994;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU time of this process: the table figures do not depend on what else
// the machine runs.
double CpuNow() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct ChildRun {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system
    long maxRssKiB = 0;   // by wait4: never below the spawning process's peak
    long ownPeakKiB = 0;  // VmHWM the child reports of its own address space
    bool ok = false;
};

// Spawned rather than forked, so that the child does not start with the
// parent's pages. Still, exec folds the peak of the address space it replaces
// (the parent's, for a spawn) into ru_maxrss; hence the child's own report.
// A child of this program is told with "--report-fd N" where to write it.
ChildRun Spawn(std::vector<std::string> args, bool reports = false) {
    int pipeFds[2] = {-1, -1};
    if (reports && pipe(pipeFds) == 0) args.insert(args.begin() + 1, {"--report-fd", std::to_string(pipeFds[1])});
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ChildRun run;
    const auto start = Clock::now();
    pid_t pid = 0;
    const bool spawned = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0;
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    int status = 0;
    rusage usage{};
    if (!spawned || wait4(pid, &status, 0, &usage) != pid) return run;
    run.seconds = Since(start);
    if (pipeFds[0] >= 0) {
        char text[32] = {};
        if (read(pipeFds[0], text, sizeof text - 1) > 0) run.ownPeakKiB = std::atol(text);
        close(pipeFds[0]);
    }
    const auto cpu = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    run.cpuSeconds = cpu(usage.ru_utime) + cpu(usage.ru_stime);
    run.maxRssKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// Percentage of the file's pages in the page cache, by mincore.
double CachedPercent(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    const auto length = static_cast<std::size_t>(st.st_size);
    void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return -1;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((length + page - 1) / page);
    double percent = -1;
    if (mincore(map, length, resident.data()) == 0) {
        const auto in = std::count_if(resident.begin(), resident.end(), [](unsigned char c) { return c & 1; });
        percent = 100.0 * static_cast<double>(in) / static_cast<double>(resident.size());
    }
    munmap(map, length);
    return percent;
}

// Writes the file's dirty pages and drops its pages from the cache.
void Evict(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    (void)fsync(fd);
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

void ReadThrough(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    std::vector<char> chunk(kMiB);
    while (f && std::fread(chunk.data(), 1, chunk.size(), f.get()) == chunk.size()) {
    }
}

// A PE32 file: code, a small resource section, one section after it, an
// installer table, then `tailBytes` of incompressible payload, written in
// chunks so that the generator stays small.
bool Generate(const std::string& path, std::uint64_t tailBytes) {
    using namespace vorn::test;
    PeShape shape;
    ResourceTree tree;
    tree.types = {ResType{10, {ResName{1, {ResLanguage{1033, ByteVec(1500, 0x5A)}}}}},
                  ResType{16, {ResName{1, {ResLanguage{1033, ByteVec(700, 0x11)}}}}},
                  ResType{24, {ResName{1, {ResLanguage{1033, ByteVec(400, 0x3C)}}}}}};
    shape.resources = tree;
    shape.sectionsAfterResources = {Section{".reloc", ByteVec(0x300, 0x01), 0x42000040}};
    shape.installer = InstallerTable{0, {0x10000, 0x20000, 1, 2, 3, 0x30000, 0x40000, 0x50000}};
    const WrittenPe pe = WritePe(shape);

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f || std::fwrite(pe.bytes.data(), 1, pe.bytes.size(), f.get()) != pe.bytes.size()) return false;
    std::vector<std::uint64_t> chunk(kMiB / 8);
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    for (std::uint64_t done = 0; done < tailBytes; done += kMiB) {
        for (std::uint64_t& word : chunk) {  // xorshift64
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            word = x;
        }
        if (std::fwrite(chunk.data(), 1, kMiB, f.get()) != kMiB) return false;
    }
    return std::fflush(f.get()) == 0;
}

// VmHWM belongs to the current address space only, unlike ru_maxrss.
void ReportOwnPeak(int fd) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen("/proc/self/status", "r"), std::fclose);
    char line[256];
    while (f && fd >= 0 && std::fgets(line, sizeof line, f.get())) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            const std::string text = std::to_string(std::atol(line + 6));
            (void)!write(fd, text.data(), text.size());
        }
    }
}

// The child: open, add one RCDATA resource, commit.
int CommitChild(const char* path) {
    vorn::Image image;
    if (vorn::OpenImageForEdit(path, image, false) != vorn::ResultCode::Success) return 3;
    std::vector<std::byte> data(kAddedResourceSize, std::byte{0xA5});
    if (vorn::AddResourceEntry(image.table, 10) != vorn::ResultCode::Success) return 4;
    vorn::ResourceEntry& added = image.table.entries.back();
    added.nameId = 200;
    added.language = 1033;
    added.size = kAddedResourceSize;
    added.data = data.data();
    return vorn::CommitResources(image) == vorn::ResultCode::Success ? 0 : 5;
}

std::uint32_t ResourceSize(const std::string& path) {
    vorn::Image image;
    if (vorn::OpenImageForEdit(path.c_str(), image, true) != vorn::ResultCode::Success) return 0;
    const std::uint32_t size = image.layout.resourceSize;
    vorn::CloseImage(image);
    return size;
}

long SelfMaxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BenchFile(const fs::path& dir, std::uint64_t tailMiB, int runs, const std::string& self) {
    const std::string original = (dir / "original.exe").string();
    const std::string copy = (dir / "copy.exe").string();
    const std::string work = (dir / "commit.exe").string();
    const std::uint64_t tail = tailMiB * kMiB;

    struct statvfs vfs{};
    const std::uint64_t needed = 3 * tail + 64 * kMiB;  // original, copy, commit copy
    if (statvfs(dir.c_str(), &vfs) != 0 || std::uint64_t{vfs.f_bavail} * vfs.f_frsize < needed) {
        std::printf("\ntail %llu MiB: skipped, %s needs %llu MiB free\n", (unsigned long long)tailMiB, dir.c_str(),
                    (unsigned long long)(needed / kMiB));
        return;
    }
    if (!Generate(original, tail)) {
        std::printf("\ntail %llu MiB: cannot write %s\n", (unsigned long long)tailMiB, original.c_str());
        return;
    }
    const std::uint32_t oldSection = ResourceSize(original);
    const ChildRun idle = Spawn({self, "--idle"}, true);
    std::printf("\ntail %llu MiB, file %.1f MiB, resource section %u bytes, commit adds %u bytes of RCDATA\n",
                (unsigned long long)tailMiB, static_cast<double>(fs::file_size(original)) / kMiB, oldSection,
                kAddedResourceSize);
    std::printf("  %-8s %4s %5s %8s %9s %6s %9s %10s %11s %11s\n", "cache", "src%", "work%", "cp ms", "commit ms",
                "ratio", "cp cpu ms", "commit cpu", "maxrss KiB", "VmHWM KiB");

    std::uint32_t newSection = 0;
    long commitMaxRss = 0, commitOwnPeak = 0;
    for (const bool cached : {true, false}) {
        std::vector<double> cpTimes, commitTimes, cpCpu, commitCpu;
        double srcPercent = 100, workPercent = 100;
        bool failed = false;
        for (int r = 0; r < runs && !failed; ++r) {
            failed = !Spawn({"cp", original, work}).ok;
            sync();  // no dirty pages from set-up while timing
            if (cached) {
                ReadThrough(original);
            } else {
                Evict(original);
                Evict(work);
            }
            srcPercent = std::min(srcPercent, CachedPercent(original));
            const ChildRun cp = Spawn({"cp", original, copy});
            sync();  // cp's writeback does not fall into the commit's time
            workPercent = std::min(workPercent, CachedPercent(work));
            const ChildRun commit = Spawn({self, "--commit", work}, true);
            failed = failed || !cp.ok || !commit.ok;
            cpTimes.push_back(cp.seconds);
            commitTimes.push_back(commit.seconds);
            cpCpu.push_back(cp.cpuSeconds);
            commitCpu.push_back(commit.cpuSeconds);
            commitMaxRss = std::max(commitMaxRss, commit.maxRssKiB);
            commitOwnPeak = std::max(commitOwnPeak, commit.ownPeakKiB);
            if (r == 0 && commit.ok) newSection = ResourceSize(work);
            fs::remove(copy);
            fs::remove(work);
        }
        if (failed) {
            std::printf("  %-8s cp or commit failed\n", cached ? "cached" : "uncached");
            continue;
        }
        const double cpMs = 1000 * Median(cpTimes), commitMs = 1000 * Median(commitTimes);
        std::printf("  %-8s %4.0f %5.0f %8.1f %9.1f %6.2f %9.1f %10.1f %11ld %11ld\n", cached ? "cached" : "uncached",
                    srcPercent, workPercent, cpMs, commitMs, commitMs / cpMs, 1000 * Median(cpCpu),
                    1000 * Median(commitCpu), commitMaxRss, commitOwnPeak);
    }
    fs::remove(original);
    const double goalKiB = (newSection + 4.0 * kMiB) / 1024;
    std::printf("  commit peak RSS (VmHWM) %ld KiB, %ld over an idle process of this program (%ld KiB);\n"
                "  goal: new section %u bytes + 4 MiB = %.0f KiB\n",
                commitOwnPeak, commitOwnPeak - idle.ownPeakKiB, idle.ownPeakKiB, newSection, goalKiB);
}

// Resource tables: typically three languages per name, some named types and
// names sharing one string per directory entry, all keys distinct.
vorn::ResourceTable MakeTable(int count, std::mt19937& rng, const std::vector<std::byte>& blob) {
    static const vorn::ResourceName typeNames[] = {std::make_shared<const std::string>("TYPEA"),
                                                   std::make_shared<const std::string>("TYPEB")};
    static const std::int32_t languages[] = {1033, 1031, 1036};
    vorn::ResourceTable table;
    vorn::ResourceName groupName;
    std::int32_t typeId = 0;
    for (int i = 0; i < count; ++i) {
        const int group = i / 3;
        if (i % 3 == 0) {
            const auto roll = static_cast<std::int32_t>(rng() % 24);
            typeId = roll < 2 ? -1 : roll;
            groupName = group % 10 == 0 ? std::make_shared<const std::string>("NAME" + std::to_string(group)) : nullptr;
        }
        vorn::ResourceEntry& e = table.entries.emplace_back();
        e.ordinal = i;
        e.typeId = typeId;
        if (typeId == -1) e.typeName = typeNames[group % 2];
        e.nameId = groupName ? -1 : group + 1;
        e.name = groupName;
        e.language = languages[i % 3];
        e.size = 16 + static_cast<std::uint32_t>(i % 48);
        e.data = blob.data();
    }
    return table;
}

void CountPump(void* counter) { ++*static_cast<long*>(counter); }

void BenchTables() {
    std::printf("\nresource tables (CPU ms, median of 3; a pass is one PumpMessages call)\n");
    std::printf("  %7s %14s %8s %14s %8s %14s %8s %11s\n", "entries", "sort shuf. ms", "passes", "build ms",
                "passes", "append+bld ms", "passes", "section KiB");
    std::mt19937 rng(12345);
    const std::vector<std::byte> blob(64, std::byte{0x42});
    long pumps = 0;
    const vorn::OperationHooks hooks{&CountPump, nullptr, &pumps};
    for (const int count : {1000, 3000, 10000}) {
        vorn::ResourceTable shuffled = MakeTable(count, rng, blob);
        std::shuffle(shuffled.entries.begin(), shuffled.entries.end(), rng);
        std::vector<double> sortT, buildT, appendT;
        long sortPasses = 0, buildPasses = 0, appendPasses = 0;
        std::uint32_t sectionSize = 0;
        for (int r = 0; r < 3; ++r) {
            vorn::ResourceTable table = shuffled;
            pumps = 0;
            double start = CpuNow();
            vorn::SortResourceTable(table.entries, hooks);
            sortT.push_back(CpuNow() - start);
            sortPasses = pumps;

            // Sorted already, as a loaded table is: the builder's own work.
            vorn::ResourceTable sorted = table;
            std::vector<std::byte> section;
            pumps = 0;
            start = CpuNow();
            if (vorn::BuildResourceSection(section, sectionSize, sorted, 0x3000, hooks) != vorn::ResultCode::Success) {
                std::printf("  %7d build failed\n", count);
                return;
            }
            buildT.push_back(CpuNow() - start);
            buildPasses = pumps;

            // The usual commit: one resource added at the end of a loaded
            // table, of the lowest type so it travels to the front.
            (void)vorn::AddResourceEntry(table, 1);
            table.entries.back().nameId = 1;
            pumps = 0;
            start = CpuNow();
            (void)vorn::BuildResourceSection(section, sectionSize, table, 0x3000, hooks);
            appendT.push_back(CpuNow() - start);
            appendPasses = pumps;
        }
        std::printf("  %7d %14.2f %8ld %14.2f %8ld %14.2f %8ld %11.1f\n", count, 1000 * Median(sortT), sortPasses,
                    1000 * Median(buildT), buildPasses, 1000 * Median(appendT), appendPasses, sectionSize / 1024.0);
    }
}

int Usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--dir DIR] [--runs N] [--tables-only]\n"
                 "       %s --generate FILE TAIL_MIB   (a test file, for profiling)\n"
                 "       %s --commit FILE   (the measured child: adds 64 KiB of RCDATA)\n",
                 argv0, argv0, argv0);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path dir = VORNUTILS_BENCH_DEFAULT_DIR;
    int runs = 5;
    bool tablesOnly = false;
    int reportFd = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--report-fd" && i + 1 < argc) {
            reportFd = std::atoi(argv[++i]);
            continue;
        }
        if (arg == "--commit" && i + 1 < argc) {
            const int code = CommitChild(argv[i + 1]);
            ReportOwnPeak(reportFd);
            return code;
        }
        if (arg == "--idle") return ReportOwnPeak(reportFd), 0;
        if (arg == "--generate" && i + 2 < argc) return Generate(argv[i + 1], std::stoull(argv[i + 2]) * kMiB) ? 0 : 1;
        if (arg == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--tables-only") {
            tablesOnly = true;
        } else {
            return Usage(argv[0]);
        }
    }

    std::printf("rewrite_bench: times are wall clock of whole processes (spawn to exit), median of %d runs;\n"
                "no fsync in either; src%%/work%% = lowest share of cp's source / the commit's file in the page\n"
                "cache just before timing; maxrss = the commit child's ru_maxrss by wait4 (never below this\n"
                "process's own peak, see the end); VmHWM = the peak the child reports of itself\n",
                runs);
    if (!tablesOnly) {
        std::error_code error;
        fs::create_directories(dir, error);
        std::string pattern = (dir / "rewrite-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "cannot create a directory in %s\n", dir.c_str());
            return 1;
        }
        const fs::path work = pattern;
        struct statfs sfs{};
        const bool tmpfs = statfs(work.c_str(), &sfs) == 0 && static_cast<long>(sfs.f_type) == kTmpfsMagic;
        std::printf("files in %s%s\n", work.c_str(), tmpfs ? " (tmpfs: the page cache is the file; pass --dir)" : "");
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        for (const std::uint64_t tailMiB : {256u, 1024u}) BenchFile(work, tailMiB, runs, self);
        fs::remove_all(work, error);
        // A spawned child's peak cannot be below the parent's at spawn time.
        std::printf("this process's own peak RSS while spawning: %ld KiB\n", SelfMaxRssKiB());
    }
    BenchTables();
    return 0;
}
