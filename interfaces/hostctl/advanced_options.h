#ifndef HOSTCTL_ADVANCED_OPTIONS_H
#define HOSTCTL_ADVANCED_OPTIONS_H

// Options and branches are immutable after construction: share them freely across threads.
// The caller owns each one handed out; branches share their read-only tree.

#include <hostctl/export.h>
#include <hostctl/hostctl_object.h>

#include <cstdint>
#include <memory>
#include <string>

namespace HostCtl {

class Host;

namespace Adv {

// One typed option of the host, a snapshot taken when its branch was read. Its dynamic type
// tells the type of the value: AdvancedIntegerOption or AdvancedStringOption.
class QUORCTL_EXPORT AdvancedOption : public virtual Lib::HostCtlObject {
public:
    ~AdvancedOption() override;

    // The option's own name, without the names of the branches above it.
    std::string const& GetName() const { return name; }

protected:
    explicit AdvancedOption(std::string name);

private:
    std::string name;
};

class QUORCTL_EXPORT AdvancedIntegerOption : public virtual AdvancedOption {
public:
    AdvancedIntegerOption(std::string name, std::int64_t value);
    ~AdvancedIntegerOption() override;

    std::int64_t GetValue() const { return value; }

private:
    std::int64_t value;
};

class QUORCTL_EXPORT AdvancedStringOption : public virtual AdvancedOption {
public:
    AdvancedStringOption(std::string name, std::string value);
    ~AdvancedStringOption() override;

    std::string const& GetValue() const { return value; }

private:
    std::string value;
};

// The library's parsed tree of branches and options; opaque to callers.
struct AdvancedBranchNode;

// A branch of the option tree. Branches and options have names of their own, so a branch and
// an option may share a name. Lookups are by exact, case-sensitive name.
class QUORCTL_EXPORT AdvancedBranch : public virtual Lib::HostCtlObject {
public:
    ~AdvancedBranch() override;

    // The branch's own name; empty for the root.
    std::string const& GetName() const { return name; }

    // The child branch of that name, or empty when there is none.
    std::unique_ptr<AdvancedBranch> GetBranch(std::string const& name) const;

    // The option of that name in this branch, or empty when there is none.
    std::unique_ptr<AdvancedOption> GetOption(std::string const& name) const;

private:
    friend class HostCtl::Host;

    AdvancedBranch(std::string name, std::shared_ptr<AdvancedBranchNode const> node);

    std::string name;
    std::shared_ptr<AdvancedBranchNode const> node;  // never null
};

}  // namespace Adv
}  // namespace HostCtl

#endif
