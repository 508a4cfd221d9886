#include "report.h"

#include <cstdio>
#include <fstream>

namespace bench {

std::string FormatDuration(double nanoseconds) {
    char text[32];
    if (nanoseconds < 1e3) {
        std::snprintf(text, sizeof text, "%.0f ns", nanoseconds);
    } else if (nanoseconds < 1e6) {
        std::snprintf(text, sizeof text, "%.3g us", nanoseconds / 1e3);
    } else if (nanoseconds < 1e9) {
        std::snprintf(text, sizeof text, "%.3g ms", nanoseconds / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.3g s", nanoseconds / 1e9);
    }
    return text;
}

std::string FormatRatio(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, ratio >= 10 ? "%.0fx" : "%.2fx", ratio);
    return text;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void Report::Section(std::string const& title) {
    std::printf("\n== %s ==\n", title.c_str());
    std::printf("%-44s %11s %11s  %-22s %11s %11s  %s\n", "case", "median", "p99", "reference",
                "median", "p99", "ratio");
    std::fflush(stdout);
}

void Report::Row(std::string const& name, Summary const& ours, std::string const& referenceName,
                 Summary const& reference, std::string const& ratioText) {
    std::printf("%-44s %11s %11s", name.c_str(), FormatDuration(ours.median).c_str(),
                FormatDuration(ours.p99).c_str());
    if (reference.count > 0) {
        std::printf("  %-22s %11s %11s  %s", referenceName.c_str(),
                    FormatDuration(reference.median).c_str(), FormatDuration(reference.p99).c_str(),
                    ratioText.c_str());
    }
    std::printf("   (n=%zu", ours.count);
    if (reference.count > 0) std::printf("/%zu", reference.count);
    std::printf(")\n");
    std::fflush(stdout);
}

void Report::Note(std::string const& text) {
    std::printf("    %s\n", text.c_str());
    std::fflush(stdout);
}

void Report::Target(std::string const& target, std::string const& figure, bool met) {
    verdicts.push_back(Verdict{target, figure, met});
    std::printf("    target: %s -> %s: %s\n", target.c_str(), figure.c_str(),
                met ? "met" : "MISSED");
    std::fflush(stdout);
}

int Report::Summarize() const {
    int missed = 0;
    std::printf("\n== Targets ==\n");
    for (Verdict const& verdict : verdicts) {
        std::printf("  %-7s %-62s %s\n", verdict.met ? "met" : "MISSED", verdict.target.c_str(),
                    verdict.figure.c_str());
        missed += verdict.met ? 0 : 1;
    }
    std::fflush(stdout);
    return missed;
}

}  // namespace bench
