#ifndef TESTS_SUPPORT_PAM_JUDGE_H
#define TESTS_SUPPORT_PAM_JUDGE_H
// Runs a PAM service file through the machine's PAM library (pam_start_confdir), with a
// recorder for pam_exec.so. Needs TSLAUTH_TEST_PAM.
#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sandbox.h"

namespace pam_judge {

inline int Answer(int count, pam_message const** messages, pam_response** responses, void*) {
    *responses = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) (*responses)[i].resp = strdup("pw");
    }
    return PAM_SUCCESS;
}

// Installs the recorder and returns its text in a service file: it appends PAM_TYPE and its
// arguments to the trace and fails when its first argument begins with "no".
inline std::string Recorder() {
    std::string const path = sandbox::ScratchDirectory() + "/recorder";
    std::string const trace = " >>" + sandbox::ScratchDirectory() + "/pam-trace\n";
    sandbox::WriteFile(path,
                       "#!/bin/sh\nprintf '%s|' \"$PAM_TYPE\" \"$@\"" + trace + "echo" + trace +
                           "case \"$1\" in no*) exit 1;; esac\n",
                       0755);
    return "pam_exec.so " + path;
}

// The result of every facility and the recorder's trace for one service file.
inline std::string Run(std::string const& directory, std::string const& file) {
    if (!sandbox::PathExists(directory)) sandbox::MakeDirectory(directory);
    sandbox::WriteFile(directory + "/judged", file);
    std::string const trace = sandbox::ScratchDirectory() + "/pam-trace";
    sandbox::WriteFile(trace, "");
    pam_conv conversation = {Answer, nullptr};
    pam_handle_t* handle = nullptr;
    std::string result =
        "start " + std::to_string(pam_start_confdir("judged", "user", &conversation,
                                                    directory.c_str(), &handle));
    if (handle) {
        // One statement each: the facilities run in this order.
        result += " auth " + std::to_string(pam_authenticate(handle, 0));
        result += " account " + std::to_string(pam_acct_mgmt(handle, 0));
        result += " session " + std::to_string(pam_open_session(handle, 0));
        result += " password " + std::to_string(pam_chauthtok(handle, 0));
        pam_end(handle, PAM_SUCCESS);
    }
    return result + "\n" + sandbox::ReadFile(trace);
}

}  // namespace pam_judge

#endif
