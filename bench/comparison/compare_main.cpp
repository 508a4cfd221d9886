// The comparison run: the library against Augeas and against the machine's floors, in one
// run, printed side by side with ratios and the targets' verdicts.
//
//   tslauth_compare [--quick] [--disk-dir DIRECTORY] [--only files|growth|store]
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>

#include "augeas_editor.h"
#include "bench_environment.h"
#include "file_comparison.h"
#include "report.h"
#include "store_comparison.h"

namespace {

std::string ProcessorModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            std::string::size_type colon = line.find(':');
            if (colon != std::string::npos) return line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string FileSystemOf(std::string const& directory) {
    struct statfs info;
    if (statfs(directory.c_str(), &info) != 0) return "unknown";
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0xEF53:
            return "ext4";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        case 0x01021994:
            return "tmpfs";
        case 0x794c7630:
            return "overlay";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "type 0x%lx", static_cast<unsigned long>(info.f_type));
            return text;
        }
    }
}

void PrintMachine(std::string const& diskDirectory) {
    struct utsname system;
    uname(&system);
    std::time_t const now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::string const root = bench::MakeTmpfsDirectory("augeas-version");
    bench::AugeasEditor probe(root, "/etc/nsswitch.conf", bench::AugeasLens::kNsswitch);
    std::printf("machine: %s, %ld cores online, Linux %s\n", ProcessorModel().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), system.release);
    std::printf("disk:    %s (%s)\n", diskDirectory.c_str(), FileSystemOf(diskDirectory).c_str());
    std::printf("peer:    Augeas %s, lenses Pam and Nsswitch\n", probe.Version().c_str());
    std::printf("run:     %s, load average %s\n", date, bench::LoadAverage().c_str());
    std::printf("         figures are medians and 99th percentiles of per-call times\n");
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: tslauth_compare [--quick] [--disk-dir DIRECTORY] [--only files|growth|store]\n");
}

}  // namespace

int main(int argc, char** argv) {
    // Namespaces first, while the process still has a single thread.
    bench::EnterSandbox();
    bool quick = false;
    std::string diskDirectory;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string const argument = argv[i];
        if (argument == "--quick") {
            quick = true;
        } else if (argument == "--disk-dir" && i + 1 < argc) {
            diskDirectory = argv[++i];
        } else if (argument == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            Usage();
            return 2;
        }
    }
    if (diskDirectory.empty()) diskDirectory = bench::DefaultDiskDirectory();
    if (mkdir(diskDirectory.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "cannot create %s: %s\n", diskDirectory.c_str(), std::strerror(errno));
        return 1;
    }

    try {
        PrintMachine(diskDirectory);
        bench::Report report;
        if (only.empty() || only == "files") bench::CompareFiles(report, quick);
        if (only.empty() || only == "growth") bench::CompareGrowth(report, quick);
        if (only.empty() || only == "store") bench::CompareStore(report, quick, diskDirectory);
        int const missed = report.Summarize();
        std::printf("%d target%s missed\n", missed, missed == 1 ? "" : "s");
    } catch (std::exception const& e) {
        std::fprintf(stderr, "comparison failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
