#include "directory_document.h"

#include "failure.h"
#include "names.h"

namespace demodirectory {

namespace {

bool IsKey(std::string const& key) {
    if (key.empty()) return false;
    for (char c : key) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

std::string HeaderText(std::string const& kind, std::string const& name) {
    return "[" + kind + (name.empty() ? "" : " " + name) + "]";
}

// A value with a line break would become lines of its own.
void RequireOneLine(std::string const& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') throw Failure(kInvalidParameter);
    }
}

DirectoryDocument::Line EntryLine(std::string const& key, std::string const& value) {
    RequireOneLine(value);
    return {DirectoryDocument::Line::kEntry, key + (value.empty() ? " =" : " = " + value), key,
            value, 0};
}

}  // namespace

DirectoryDocument DirectoryDocument::Parse(std::string const& text, std::string const& path) {
    DirectoryDocument document;
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string const raw = text.substr(start, end - start);
        start = end + 1;
        ++number;

        std::string const trimmed = Trim(raw);
        Line line{Line::kBlank, raw, "", "", number};
        if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') {
            // blank or comment
        } else if (trimmed.front() == '[' && trimmed.back() == ']') {
            std::pair<std::string, std::string> const parts =
                SplitFirstWord(Trim(trimmed.substr(1, trimmed.size() - 2)));
            if (!IsKey(parts.first)) {
                throw Failure(kInternalError, path + ":" + std::to_string(number) +
                                                  ": malformed section header \"" + trimmed + "\"");
            }
            line.kind = Line::kHeader;
            line.first = parts.first;
            line.second = parts.second;
        } else {
            std::size_t const equals = raw.find('=');
            std::string const key = equals == std::string::npos ? "" : Trim(raw.substr(0, equals));
            if (!IsKey(key)) {
                throw Failure(kInternalError, path + ":" + std::to_string(number) +
                                                  ": expected \"key = value\", a section header "
                                                  "or a comment, found \"" +
                                                  trimmed + "\"");
            }
            line.kind = Line::kEntry;
            line.first = key;
            line.second = Trim(raw.substr(equals + 1));
        }
        document.lines.push_back(line);
    }
    return document;
}

std::string DirectoryDocument::Text() const {
    std::string text;
    for (Line const& line : lines) text += line.text + "\n";
    return text;
}

long DirectoryDocument::FindSection(std::string const& kind, std::string const& name) const {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::kHeader && lines[i].first == kind &&
            EqualNoCase(lines[i].second, name)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::size_t DirectoryDocument::SectionEnd(std::size_t header) const {
    std::size_t end = header + 1;
    while (end < lines.size() && lines[end].kind != Line::kHeader) ++end;
    return end;
}

void DirectoryDocument::Add(std::string const& kind, std::string const& name,
                            std::string const& key, std::string const& value) {
    long const header = FindSection(kind, name);
    if (header < 0) {
        RequireOneLine(name);
        if (!lines.empty() && lines.back().kind != Line::kBlank) {
            lines.push_back({Line::kBlank, "", "", "", 0});
        }
        lines.push_back({Line::kHeader, HeaderText(kind, name), kind, name, 0});
        lines.push_back(EntryLine(key, value));
        return;
    }
    std::size_t const begin = static_cast<std::size_t>(header);
    std::size_t const end = SectionEnd(begin);
    std::size_t lastEntry = begin;
    std::size_t lastSameKey = 0;
    for (std::size_t i = begin + 1; i < end; ++i) {
        if (lines[i].kind != Line::kEntry) continue;
        lastEntry = i;
        if (lines[i].first == key) lastSameKey = i;
    }
    std::size_t const after = lastSameKey != 0 ? lastSameKey : lastEntry;
    lines.insert(lines.begin() + static_cast<long>(after) + 1, EntryLine(key, value));
}

void DirectoryDocument::Set(std::string const& kind, std::string const& name,
                            std::string const& key, std::string const& value) {
    long const header = FindSection(kind, name);
    if (header >= 0) {
        std::size_t const end = SectionEnd(static_cast<std::size_t>(header));
        for (std::size_t i = static_cast<std::size_t>(header) + 1; i < end; ++i) {
            if (lines[i].kind == Line::kEntry && lines[i].first == key) {
                lines[i] = EntryLine(key, value);
                // Further entries of the key, after the one replaced.
                for (std::size_t j = end - 1; j > i; --j) {
                    if (lines[j].kind == Line::kEntry && lines[j].first == key) {
                        lines.erase(lines.begin() + static_cast<long>(j));
                    }
                }
                return;
            }
        }
    }
    Add(kind, name, key, value);
}

void DirectoryDocument::Remove(std::string const& kind, std::string const& name,
                               std::string const& key,
                               std::function<bool(std::string const&)> const& matches) {
    long const header = FindSection(kind, name);
    if (header < 0) return;
    std::size_t end = SectionEnd(static_cast<std::size_t>(header));
    for (std::size_t i = static_cast<std::size_t>(header) + 1; i < end;) {
        if (lines[i].kind == Line::kEntry && lines[i].first == key &&
            (!matches || matches(lines[i].second))) {
            lines.erase(lines.begin() + static_cast<long>(i));
            --end;
        } else {
            ++i;
        }
    }
}

}  // namespace demodirectory
