#ifndef AUTHENTICATION_FILE_CONTENT_H
#define AUTHENTICATION_FILE_CONTENT_H

#include <file_replacement.h>

namespace ostrel {
namespace authentication {

// The whole-file reader shared with libquorctl.
using tslfiles::ReadFailure;
using tslfiles::ReadFileContent;

}  // namespace authentication
}  // namespace ostrel

#endif
