// Command-line front end over libtslauth.
#include <authentication/authentication.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

using namespace ostrel::authentication;

namespace {

int Usage(std::ostream& out, int status) {
    out << "usage: tslauth COMMAND\n"
           "\n"
           "commands:\n"
           "  stores    list the registered authentication stores; the active one is marked '*'\n"
           "  help      show this text\n";
    return status;
}

int Stores() {
    AuthenticationStoreFactory* factory = Singleton<AuthenticationStoreFactory>::_instance;
    std::vector<std::string> names = factory->GetRegisteredStores();
    for (std::vector<std::string>::const_iterator it = names.begin(); it != names.end(); ++it) {
        bool active = false;
        std::string note;
        try {
            std::auto_ptr<AuthenticationStore> store = factory->CreateInstance(*it);
            active = store.get() != nullptr && store->IsActive();
        } catch (std::exception const& e) {
            note = std::string("  (state unknown: ") + e.what() + ")";
        }
        std::cout << (active ? "* " : "  ") << *it << note << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(std::cerr, 2);
    std::string command = argv[1];
    if (command == "help" || command == "--help" || command == "-h") return Usage(std::cout, 0);
    if (command == "stores") {
        if (argc > 2 && std::strcmp(argv[2], "--help") == 0) {
            std::cout << "usage: tslauth stores\n\nLists the registered authentication stores; "
                         "the active one is marked '*'.\n";
            return 0;
        }
        return Stores();
    }
    std::cerr << "tslauth: unknown command '" << command << "'\n";
    return Usage(std::cerr, 2);
}
