#include "output.h"

#include <algorithm>
#include <sstream>

namespace tslauth {

std::string JsonText(Json const& value) {
    std::string out;
    switch (value.type()) {
        case Json::value_t::object:
            for (auto const& member : value.items()) {
                out += (out.empty() ? "{" : ", ") + JsonText(member.key()) + ": " +
                       JsonText(member.value());
            }
            return out.empty() ? "{}" : out + "}";
        case Json::value_t::array:
            for (Json const& element : value) {
                out += (out.empty() ? "[" : ", ") + JsonText(element);
            }
            return out.empty() ? "[]" : out + "]";
        default:
            return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

namespace {

std::vector<std::string> Lines(std::string const& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// One line of the edit script: ' ' kept, '-' removed, '+' added, with its line numbers.
struct Edit {
    char kind;
    std::size_t a, b;  // indexes into before and after
};

// Longest common subsequence: PAM files are small, so the quadratic table is fine.
std::vector<Edit> EditScript(std::vector<std::string> const& x, std::vector<std::string> const& y) {
    std::size_t const n = x.size(), m = y.size();
    std::vector<std::vector<unsigned> > lcs(n + 1, std::vector<unsigned>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            lcs[i][j] =
                x[i] == y[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        }
    }
    std::vector<Edit> script;
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && x[i] == y[j]) {
            script.push_back({' ', i++, j++});
        } else if (j < m && (i == n || lcs[i][j + 1] >= lcs[i + 1][j])) {
            script.push_back({'+', i, j++});
        } else {
            script.push_back({'-', i++, j});
        }
    }
    return script;
}

std::string Range(std::size_t start, std::size_t count) {
    // Unified diffs number from 1; an empty range names the line before it.
    std::string text = std::to_string(count == 0 ? start : start + 1);
    if (count != 1) text += "," + std::to_string(count);
    return text;
}

}  // namespace

std::string UnifiedDiff(std::string const& before, std::string const& after,
                        std::string const& beforeLabel, std::string const& afterLabel) {
    if (before == after) return std::string();
    std::vector<std::string> const x = Lines(before), y = Lines(after);
    std::vector<Edit> const script = EditScript(x, y);
    std::size_t const context = 3;
    std::string out = "--- " + beforeLabel + "\n+++ " + afterLabel + "\n";
    std::size_t k = 0;
    while (k < script.size()) {
        while (k < script.size() && script[k].kind == ' ') ++k;
        if (k == script.size()) break;
        // A hunk: from `context` kept lines before the first change to `context` after the
        // last change that is not separated from the next by more than 2 * context.
        std::size_t start = k >= context ? k - context : 0;
        std::size_t end = k;
        std::size_t kept = 0;
        for (std::size_t p = k; p < script.size(); ++p) {
            if (script[p].kind == ' ') {
                if (++kept > 2 * context) break;
            } else {
                kept = 0;
                end = p;
            }
        }
        std::size_t stop = std::min(script.size(), end + 1 + context);
        std::size_t countA = 0, countB = 0;
        for (std::size_t p = start; p < stop; ++p) {
            if (script[p].kind != '+') ++countA;
            if (script[p].kind != '-') ++countB;
        }
        out += "@@ -" + Range(script[start].a, countA) + " +" + Range(script[start].b, countB) +
               " @@\n";
        for (std::size_t p = start; p < stop; ++p) {
            Edit const& e = script[p];
            out += e.kind;
            out += e.kind == '+' ? y[e.b] : x[e.a];
            out += "\n";
        }
        k = stop;
    }
    return out;
}

}  // namespace tslauth
