#ifndef BENCH_COMPARISON_AUGEAS_EDITOR_H
#define BENCH_COMPARISON_AUGEAS_EDITOR_H

// The peer configuration editor doing the library's edits: one file loaded with one lens
// (Pam or Nsswitch), the same edit, saved.

#include <string>

struct augeas;

namespace bench {

enum class AugeasLens { kPam, kNsswitch };

class AugeasEditor {
public:
    // A handle over `root` that loads only `file` (a path below root, e.g.
    // "/etc/pam.d/system-auth") with the lens. Nothing is loaded yet.
    AugeasEditor(std::string const& root, std::string const& file, AugeasLens lens);
    ~AugeasEditor();
    AugeasEditor(AugeasEditor const&) = delete;
    AugeasEditor& operator=(AugeasEditor const&) = delete;

    // Each throws std::runtime_error with Augeas's own error text on failure.
    void Load();
    // The activation's edit: the provider's entry after the access module in auth and
    // account (Pam); the provider's service after the first passwd and group entries
    // (Nsswitch).
    void Edit();
    void Save();

    std::string Version() const;

private:
    void EditPam();
    void EditNsswitch();
    [[noreturn]] void Fail(std::string const& what) const;

    augeas* handle;
    std::string tree;  // "/files" + file
    AugeasLens lens;
};

// A fresh handle: created, loaded, edited, saved, closed.
void AugeasFreshCycle(std::string const& root, std::string const& file, AugeasLens lens);

}  // namespace bench

#endif
