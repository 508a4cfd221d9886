#ifndef BENCH_COMPARISON_REPORT_H
#define BENCH_COMPARISON_REPORT_H

// The comparison's table: one row per case, printed as soon as it is measured, and the
// targets' verdicts collected for the summary at the end.

#include <string>
#include <vector>

#include "samples.h"

namespace bench {

// "812 ns", "25.3 us", "4.51 ms", "7.02 s".
std::string FormatDuration(double nanoseconds);
// "48x", "1210x", "1.32x".
std::string FormatRatio(double ratio);
// The machine's load averages over 1, 5 and 15 minutes, "12.1 10.4 8.90": figures taken beside
// other work are noisier.
std::string LoadAverage();

class Report {
public:
    void Section(std::string const& title);
    // A row: the library's figure, optionally against a reference with its ratio.
    void Row(std::string const& name, Summary const& ours, std::string const& referenceName,
             Summary const& reference, std::string const& ratioText);
    // A line under the last row.
    void Note(std::string const& text);
    // Records and prints a target's verdict.
    void Target(std::string const& target, std::string const& figure, bool met);
    // Prints every target again with its verdict; returns how many were missed.
    int Summarize() const;

private:
    struct Verdict {
        std::string target;
        std::string figure;
        bool met;
    };
    std::vector<Verdict> verdicts;
};

}  // namespace bench

#endif
