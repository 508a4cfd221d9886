#include "password.h"

#include <authentication/exceptions.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

namespace tslauth {

namespace {

std::string FirstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line[line.size() - 1] == '\r') line.erase(line.size() - 1);
    return line;
}

// Echo stays off only while the password is typed, also when reading fails.
class EchoOff {
public:
    EchoOff() : active(tcgetattr(STDIN_FILENO, &saved) == 0) {
        if (!active) return;
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (active) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }

private:
    struct termios saved;
    bool active;
};

}  // namespace

std::string ReadPassword(std::string const& user, std::string const& passwordFile) {
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile.c_str());
        if (!in) {
            throw ostrel::authentication::IOError("Cannot open '" + passwordFile +
                                                  "': " + std::strerror(errno));
        }
        return FirstLine(in);
    }
    if (isatty(STDIN_FILENO)) {
        std::cerr << "Password for " << user << ": " << std::flush;
        std::string password;
        {
            EchoOff quiet;
            password = FirstLine(std::cin);
        }
        std::cerr << "\n";
        return password;
    }
    return FirstLine(std::cin);
}

}  // namespace tslauth
