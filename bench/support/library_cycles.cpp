#include "library_cycles.h"

#include <authentication/atomic_file_stream.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include "generated_files.h"

using SystemConfiguration::NSSConfiguration;
using SystemConfiguration::NSSDatabase;
using SystemConfiguration::NSSService;
using SystemConfiguration::PAMControl;
using SystemConfiguration::PAMEntry;
using SystemConfiguration::PAMFacility;
using SystemConfiguration::PAMPolicy;
using SystemConfiguration::PAMStack;

namespace bench {

namespace {

// The file read through a stream with a buffer of 64 KiB: few reads, no copy of the whole file.
class InputFile {
public:
    explicit InputFile(std::string const& path) : buffer(new char[kBufferSize]) {
        stream.rdbuf()->pubsetbuf(buffer.get(), kBufferSize);
        stream.open(path);
        if (!stream) throw std::runtime_error("cannot open " + path);
    }
    std::istream& get() { return stream; }

private:
    static constexpr std::streamsize kBufferSize = 65536;
    std::unique_ptr<char[]> buffer;
    std::ifstream stream;
};

// The writers check everything before they write anything, so the model is written straight
// into the atomic stream; a refused model leaves no temporary file behind.
template <typename Model>
void ReplaceWith(std::string const& path, Model const& model) {
    ostrel::authentication::AtomicFileStream out(path.c_str(), std::ios_base::out);
    try {
        out << model;
    } catch (...) {
        unlink(out.GetTemporaryPath().c_str());
        throw;
    }
    out.Commit();
}

}  // namespace

PAMPolicy ReadPAMPolicy(std::string const& path) {
    PAMPolicy policy("bench");
    InputFile in(path);
    in.get() >> policy;
    return policy;
}

void WritePAMPolicy(std::string const& path, PAMPolicy const& policy) {
    ReplaceWith(path, policy);
}

void AddProviderEntry(PAMPolicy& policy) {
    PAMEntry entry(PAMControl(PAMControl::Sufficient), kProviderModule);
    entry.parameters().push_back(kProviderParameter);
    for (PAMFacility::Facility facility : {PAMFacility::Auth, PAMFacility::Account}) {
        PAMStack& stack = policy[facility];
        PAMStack::iterator access = stack.find(kAccessModule);
        stack.insert(access == stack.end() ? stack.begin() : access + 1, entry);
    }
}

void PAMCycle(std::string const& path) {
    PAMPolicy policy = ReadPAMPolicy(path);
    AddProviderEntry(policy);
    WritePAMPolicy(path, policy);
}

NSSConfiguration ReadNSSConfiguration(std::string const& path) {
    NSSConfiguration configuration;
    InputFile in(path);
    in.get() >> configuration;
    return configuration;
}

void WriteNSSConfiguration(std::string const& path, NSSConfiguration const& configuration) {
    ReplaceWith(path, configuration);
}

void AddProviderService(NSSConfiguration& configuration) {
    configuration[NSSDatabase::Passwd].push_back(NSSService(kProviderNSSModule));
    configuration[NSSDatabase::Group].push_back(NSSService(kProviderNSSModule));
}

void NSSCycle(std::string const& path) {
    NSSConfiguration configuration = ReadNSSConfiguration(path);
    AddProviderService(configuration);
    WriteNSSConfiguration(path, configuration);
}

}  // namespace bench
