#ifndef DEMO_DIRECTORY_DIRECTORY_DOCUMENT_H
#define DEMO_DIRECTORY_DIRECTORY_DOCUMENT_H

#include <functional>
#include <string>
#include <vector>

namespace demodirectory {

// The directory file as its lines. An update changes only the lines it must, so comments,
// order and layout that a person wrote stay as they were.
//
// A line is blank, a comment ("#" or ";" first), a section header ("[kind]" or
// "[kind name]") or an entry ("key = value"). Entries before the first header are refused by
// the model, not here.
class DirectoryDocument {
public:
    struct Line {
        enum Kind { kBlank, kHeader, kEntry } kind;
        std::string text;
        std::string first;   // header: kind; entry: key
        std::string second;  // header: name; entry: value
        int number;          // 1-based line number in the file as read; 0 for added lines
    };

    // Throws Failure(kInternalError) naming `path` and the line for a line of no known shape.
    static DirectoryDocument Parse(std::string const& text, std::string const& path);

    std::vector<Line> const& Lines() const { return lines; }
    // Every line with a line feed after it.
    std::string Text() const;

    // Section names compare without regard to case. A missing section is appended at the end.
    // Adds an entry after the last entry of the same key, else after the section's last entry.
    void Add(std::string const& kind, std::string const& name, std::string const& key,
             std::string const& value);
    // Replaces the first entry of the key (removing any further ones), or adds it.
    void Set(std::string const& kind, std::string const& name, std::string const& key,
             std::string const& value);
    // Removes the section's entries of the key whose value `matches` (all when empty).
    void Remove(std::string const& kind, std::string const& name, std::string const& key,
                std::function<bool(std::string const&)> const& matches = nullptr);

private:
    // Index of the header line, or -1.
    long FindSection(std::string const& kind, std::string const& name) const;
    // Index one past the section's last line.
    std::size_t SectionEnd(std::size_t header) const;

    std::vector<Line> lines;
};

}  // namespace demodirectory

#endif
