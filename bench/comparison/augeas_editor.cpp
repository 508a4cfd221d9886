#include "augeas_editor.h"

#include <augeas.h>

#include <stdexcept>

#include "generated_files.h"

namespace bench {

AugeasEditor::AugeasEditor(std::string const& root, std::string const& file, AugeasLens lens)
    : handle(nullptr), tree("/files" + file), lens(lens) {
    // Only the one lens and the one file: loading every lens of the system would measure
    // the lens compiler, not the edit.
    handle = aug_init(root.c_str(), nullptr, AUG_NO_MODL_AUTOLOAD | AUG_NO_LOAD);
    if (handle == nullptr) throw std::runtime_error("aug_init failed for " + root);
    std::string const name = lens == AugeasLens::kPam ? "Pam" : "Nsswitch";
    if (aug_set(handle, ("/augeas/load/" + name + "/lens").c_str(), (name + ".lns").c_str()) < 0 ||
        aug_set(handle, ("/augeas/load/" + name + "/incl").c_str(), file.c_str()) < 0) {
        Fail("set up the transform");
    }
}

AugeasEditor::~AugeasEditor() {
    aug_close(handle);
}

void AugeasEditor::Load() {
    if (aug_load(handle) < 0) Fail("aug_load");
    // A file the lens cannot parse loads as an error node instead of failing the call.
    char const* message = nullptr;
    std::string const error = "/augeas" + tree + "/error/message";
    if (aug_get(handle, error.c_str(), &message) == 1) {
        throw std::runtime_error("Augeas cannot parse " + tree + ": " +
                                 (message != nullptr ? message : "(no message)"));
    }
}

void AugeasEditor::Edit() {
    if (lens == AugeasLens::kPam) {
        EditPam();
    } else {
        EditNsswitch();
    }
}

void AugeasEditor::EditPam() {
    char const* const facilities[] = {"auth", "account"};
    char const* const labels[] = {"01", "02"};
    for (int i = 0; i < 2; ++i) {
        std::string const type = std::string("[type='") + facilities[i] + "']";
        std::string const access = tree + "/*" + type + "[module='" + kAccessModule + "'][1]";
        std::string anchor = access;
        int before = 0;
        if (aug_match(handle, access.c_str(), nullptr) < 1) {
            anchor = tree + "/*" + type + "[1]";
            before = 1;
        }
        if (aug_insert(handle, anchor.c_str(), labels[i], before) < 0) Fail("aug_insert");
        std::string const entry = tree + "/" + labels[i];
        if (aug_set(handle, (entry + "/type").c_str(), facilities[i]) < 0 ||
            aug_set(handle, (entry + "/control").c_str(), "sufficient") < 0 ||
            aug_set(handle, (entry + "/module").c_str(), kProviderModule) < 0 ||
            aug_set(handle, (entry + "/argument").c_str(), kProviderParameter) < 0) {
            Fail("aug_set");
        }
    }
}

void AugeasEditor::EditNsswitch() {
    for (char const* database : {"passwd", "group"}) {
        // The C library takes a database's last line; the earlier ones say nothing.
        std::string const line = tree + "/database[.='" + database + "'][last()]";
        std::string const last = line + "/*[last()]";
        if (aug_insert(handle, last.c_str(), "service", 0) < 0) Fail("aug_insert");
        if (aug_set(handle, last.c_str(), kProviderNSSModule) < 0) Fail("aug_set");
    }
}

void AugeasEditor::Save() {
    if (aug_save(handle) < 0) Fail("aug_save");
}

std::string AugeasEditor::Version() const {
    char const* version = nullptr;
    if (aug_get(handle, "/augeas/version", &version) != 1 || version == nullptr) return "?";
    return version;
}

void AugeasEditor::Fail(std::string const& what) const {
    char const* details = aug_error_details(handle);
    std::string text = what + ": " + aug_error_message(handle);
    if (details != nullptr) text += std::string(" (") + details + ")";
    // Save failures are described in the tree.
    char const* saveError = nullptr;
    if (aug_get(handle, ("/augeas" + tree + "/error").c_str(), &saveError) == 1 && saveError) {
        text += std::string(" [") + saveError + "]";
    }
    throw std::runtime_error(text);
}

void AugeasFreshCycle(std::string const& root, std::string const& file, AugeasLens lens) {
    AugeasEditor editor(root, file, lens);
    editor.Load();
    editor.Edit();
    editor.Save();
}

}  // namespace bench
