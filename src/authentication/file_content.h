#ifndef AUTHENTICATION_FILE_CONTENT_H
#define AUTHENTICATION_FILE_CONTENT_H

#include <string>

namespace ostrel {
namespace authentication {

// Why a whole-file read failed: the file could not be opened, or not read to its end.
enum class ReadFailure { None, Open, Read };

// Reads a whole file into content. On failure returns the stage and leaves the system's error
// number in `error`; a file that cannot be read to its end is never handed on half-read.
ReadFailure ReadFileContent(std::string const& path, std::string& content, int& error);

}  // namespace authentication
}  // namespace ostrel

#endif
