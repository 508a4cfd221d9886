#include "file_comparison.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "augeas_editor.h"
#include "bench_environment.h"
#include "floors.h"
#include "generated_files.h"
#include "library_cycles.h"
#include "report.h"
#include "samples.h"

namespace bench {

namespace {

struct FileCase {
    std::string name;
    AugeasLens lens;
    std::string content;
    bool large;
    double targetRatio;       // at least this many times faster than a reused Augeas handle
    double guaranteesTarget;  // at most this many times the guarantees' floor; 0: none
    double timeTarget;        // at most this many nanoseconds; 0: none
};

// One case's file at its usual place below a root of its own on the tmpfs, so that Augeas
// finds it where its lens expects it.
struct CaseFile {
    CaseFile(std::string const& name, AugeasLens lens) {
        root = MakeTmpfsDirectory("compare-" + name);
        MakeDirectoryBelow(root, "/etc");
        if (lens == AugeasLens::kPam) {
            MakeDirectoryBelow(root, "/etc/pam.d");
            file = "/etc/pam.d/system-auth";
        } else {
            file = "/etc/nsswitch.conf";
        }
        path = root + file;
    }
    static void MakeDirectoryBelow(std::string const& root, std::string const& directory) {
        std::string const path = root + directory;
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            throw std::runtime_error("mkdir " + path + ": " + std::strerror(errno));
        }
    }
    std::string root;
    std::string file;
    std::string path;
};

// A reused handle reloads only what changed on disk, judged by the modification time; every
// restored copy gets a time of its own, so that each cycle really loads the file again.
void RestoreWithNewTime(std::string const& path, std::string const& content) {
    static long second = 1000000000;
    WriteFile(path, content);
    struct timespec const times[2] = {{++second, 0}, {second, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        throw std::runtime_error("utimensat " + path + ": " + std::strerror(errno));
    }
}

void LibraryCycle(AugeasLens lens, std::string const& path) {
    if (lens == AugeasLens::kPam) {
        PAMCycle(path);
    } else {
        NSSCycle(path);
    }
}

std::size_t CountPAMStatements(SystemConfiguration::PAMPolicy const& policy) {
    std::size_t count = 0;
    for (auto const& stack : policy.stacks()) count += stack.second.size();
    return count;
}

// The edited file, whoever wrote it, must read back with exactly the edit made: the provider's
// entry right after the access module in auth and account, nothing else gained or lost.
void CheckPAMEdit(std::string const& path, std::size_t originalStatements, char const* writer) {
    using namespace SystemConfiguration;
    PAMPolicy policy = ReadPAMPolicy(path);
    PAMEntry expected(PAMControl(PAMControl::Sufficient), kProviderModule);
    expected.parameters().push_back(kProviderParameter);
    for (PAMFacility::Facility facility : {PAMFacility::Auth, PAMFacility::Account}) {
        PAMStack& stack = policy[facility];
        PAMStack::iterator access = stack.find(kAccessModule);
        if (access == stack.end() || access + 1 == stack.end() || !(*(access + 1) == expected) ||
            std::count(stack.begin(), stack.end(), expected) != 1) {
            throw std::runtime_error(std::string(writer) + " did not make the PAM edit in " + path);
        }
    }
    if (CountPAMStatements(policy) != originalStatements + 2) {
        throw std::runtime_error(std::string(writer) + " changed other statements of " + path);
    }
}

void CheckNSSEdit(std::string const& path, char const* writer) {
    using namespace SystemConfiguration;
    NSSConfiguration configuration = ReadNSSConfiguration(path);
    for (NSSDatabase::Database database : {NSSDatabase::Passwd, NSSDatabase::Group}) {
        NSSConfiguration::Services const& services = configuration[database];
        if (std::count(services.begin(), services.end(), NSSService(kProviderNSSModule)) != 1) {
            throw std::runtime_error(std::string(writer) + " did not make the NSS edit in " + path);
        }
    }
}

void CheckEdit(FileCase const& fileCase, std::string const& path, char const* writer) {
    if (fileCase.lens == AugeasLens::kPam) {
        std::istringstream original(fileCase.content);
        SystemConfiguration::PAMPolicy policy("original");
        original >> policy;
        CheckPAMEdit(path, CountPAMStatements(policy), writer);
    } else {
        CheckNSSEdit(path, writer);
    }
}

void CompareCase(Report& report, FileCase const& fileCase, bool quick) {
    CaseFile file(fileCase.large ? "large" : "typical", fileCase.lens);
    std::string const& content = fileCase.content;
    std::string const& path = file.path;
    auto restore = [&] { WriteFile(path, content); };

    SamplePlan ours;
    ours.warmup = fileCase.large ? 2 : 20;
    ours.samples = fileCase.large ? 40 : 500;
    ours.budgetSeconds = quick ? 0.5 : 1.5;
    // The floors, each on a file of its own, read and parse left out: the bare replacement,
    // and the system calls the library's guarantees need, with the file's bytes copied.
    std::string const floorPath = path + ".floor";
    std::string const guaranteesPath = path + ".guarantees";
    WriteFile(guaranteesPath, content);
    std::string const load = LoadAverage();
    std::vector<std::vector<double>> const samples =
        SampleInTurn(ours, {Turn{[&] { LibraryCycle(fileCase.lens, path); }, restore},
                            Turn{[&] { ReplaceAtomically(floorPath, content); }, nullptr},
                            Turn{[&] { CopyWithGuarantees(guaranteesPath); }, nullptr}});
    Summary const library = Summarize(samples[0]);
    Summary const floor = Summarize(samples[1]);
    Summary const guarantees = Summarize(samples[2]);
    if (ReadFile(guaranteesPath) != content) {
        throw std::runtime_error("the guarantees' floor changed " + guaranteesPath);
    }
    restore();
    LibraryCycle(fileCase.lens, path);
    CheckEdit(fileCase, path, "the library");

    // The reused handle's first cycle, untimed, also loads the lens.
    AugeasEditor editor(file.root, file.file, fileCase.lens);
    SamplePlan reusedPlan;
    reusedPlan.warmup = 1;
    reusedPlan.samples = fileCase.large ? (quick ? 1 : 2) : 200;
    reusedPlan.minSamples = fileCase.large ? reusedPlan.samples : 3;
    reusedPlan.budgetSeconds = fileCase.large ? 0 : (quick ? 0.5 : 2);
    auto reusedCycle = [&] {
        editor.Load();
        editor.Edit();
        editor.Save();
    };
    Summary const reused =
        Summarize(Sample(reusedPlan, reusedCycle, [&] { RestoreWithNewTime(path, content); }));
    RestoreWithNewTime(path, content);
    reusedCycle();
    CheckEdit(fileCase, path, "Augeas");

    SamplePlan freshPlan;
    freshPlan.warmup = fileCase.large ? 0 : 2;
    freshPlan.samples = fileCase.large ? 1 : 100;
    freshPlan.minSamples = fileCase.large ? freshPlan.samples : 3;
    freshPlan.budgetSeconds = fileCase.large ? 0 : (quick ? 0.5 : 2);
    Summary const fresh = Summarize(Sample(
        freshPlan, [&] { AugeasFreshCycle(file.root, file.file, fileCase.lens); }, restore));

    double const reusedRatio = reused.median / library.median;
    double const freshRatio = fresh.median / library.median;
    double const guaranteesRatio = library.median / guarantees.median;
    report.Row(fileCase.name, library, "Augeas, reused handle", reused,
               FormatRatio(reusedRatio) + " faster");
    report.Row("", library, "Augeas, fresh handle", fresh, FormatRatio(freshRatio) + " faster");
    report.Row("", library, "floor: guarantees", guarantees,
               FormatRatio(guaranteesRatio) + " the floor");
    report.Row("", library, "floor: bare replacement", floor,
               FormatRatio(library.median / floor.median) + " the floor");
    report.Note("load average " + load + " when the library's cycle and the floors were sampled");
    report.Target(fileCase.name + ": >= " + FormatRatio(fileCase.targetRatio) +
                      " faster than a reused Augeas handle",
                  FormatRatio(reusedRatio), reusedRatio >= fileCase.targetRatio);
    if (fileCase.guaranteesTarget > 0) {
        report.Target(fileCase.name + ": <= " + FormatRatio(fileCase.guaranteesTarget) +
                          " the guarantees' floor",
                      FormatRatio(guaranteesRatio), guaranteesRatio <= fileCase.guaranteesTarget);
        report.Note(
            "bare replacement: reported only (its 1.4x target is withdrawn: the "
            "guarantees' floor above is the reference)");
    }
    if (fileCase.timeTarget > 0) {
        // The same cycle in the thread's processor time: what it costs without the waits for
        // a processor that a loaded machine adds to cycles of several milliseconds.
        SamplePlan processor = ours;
        processor.warmup = 1;
        processor.threadTime = true;
        Summary const work = Summarize(Sample(
            processor, [&] { LibraryCycle(fileCase.lens, path); }, restore));
        report.Row(fileCase.name + " (processor time)", work, "", Summary(), "");
        report.Target(fileCase.name + ": <= " + FormatDuration(fileCase.timeTarget),
                      FormatDuration(library.median), library.median <= fileCase.timeTarget);
    }
}

// Twice the file should cost about twice the time: the per-line cost at the larger size stays
// within a quarter of the per-line cost at the smaller one. Measured in processor time: on
// shared processors a cycle longer than the scheduler's time slice is preempted more often,
// which would make elapsed times grow faster than the work. The sizes take turns in short
// runs whose first cycle is left out: the first cycle after a change of size also pays for
// growing the process's heap, which says nothing about the size itself.
void CompareSizes(Report& report, std::string const& name, AugeasLens lens, std::string const& half,
                  std::string const& full, bool quick) {
    CaseFile file("growth", lens);
    SamplePlan run;
    run.warmup = 1;
    run.samples = 5;
    run.minSamples = 5;
    run.budgetSeconds = 0;
    run.threadTime = true;
    std::vector<double> small;
    std::vector<double> big;
    double const end = Now() + (quick ? 0.5e9 : 1.5e9);
    auto cycle = [&] { LibraryCycle(lens, file.path); };
    while (small.size() < 10 || Now() < end) {
        std::vector<double> const a = Sample(run, cycle, [&] { WriteFile(file.path, half); });
        std::vector<double> const b = Sample(run, cycle, [&] { WriteFile(file.path, full); });
        small.insert(small.end(), a.begin(), a.end());
        big.insert(big.end(), b.begin(), b.end());
    }
    Summary const smaller = Summarize(small);
    Summary const bigger = Summarize(big);
    double const growth = bigger.median / smaller.median;
    report.Row(name, bigger, "half the size", smaller, FormatRatio(growth) + " the time");
    report.Target(name + ": linear (twice the size, <= 2.5x the time)", FormatRatio(growth),
                  growth <= 2.5);
}

}  // namespace

void CompareFiles(Report& report, bool quick) {
    report.Section("Read + edit + atomic write with the disk taken out (tmpfs)");
    FileCase const cases[] = {
        {"PAM typical (20 statements)", AugeasLens::kPam, TypicalPAMFile(), false, 70, 1.15, 0},
        {"nsswitch.conf typical (16 lines)", AugeasLens::kNsswitch, TypicalNSSFile(), false, 72,
         1.15, 0},
        {"PAM 10,000 statements", AugeasLens::kPam, LargePAMFile(10000), true, 1000, 0, 5e6},
        {"nsswitch.conf 5,000 lines", AugeasLens::kNsswitch, LargeNSSFile(5000), true, 250, 0, 0},
    };
    for (FileCase const& fileCase : cases) CompareCase(report, fileCase, quick);
}

void CompareGrowth(Report& report, bool quick) {
    report.Section("Growth of the library's cycle with the file (tmpfs, processor time)");
    CompareSizes(report, "PAM 10,000 vs 5,000 statements", AugeasLens::kPam, LargePAMFile(5000),
                 LargePAMFile(10000), quick);
    CompareSizes(report, "nsswitch.conf 5,000 vs 2,500 lines", AugeasLens::kNsswitch,
                 LargeNSSFile(2500), LargeNSSFile(5000), quick);
}

}  // namespace bench
