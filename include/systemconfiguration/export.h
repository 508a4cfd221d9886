#ifndef SYSTEMCONFIGURATION_EXPORT_H
#define SYSTEMCONFIGURATION_EXPORT_H

#include <exception>
#include <string>

// The models are built into a library with hidden visibility; only what carries this mark is
// exported.
#define SYSTEMCONFIGURATION_EXPORT __attribute__((visibility("default")))

// The models' exception classes: each derives directly from the standard exception and
// carries its message. A refusal of a file's content also names the file and the line (from
// 1; 0 when not known); the models themselves read streams and leave both empty. They are
// plain values: copy them freely and rethrow them on any thread.
#define SYSTEMCONFIGURATION_EXCEPTION(Name)                                            \
    class SYSTEMCONFIGURATION_EXPORT Name : public std::exception {                    \
    public:                                                                            \
        explicit Name(std::string const& message);                                     \
        Name(std::string const& message, std::string const& file, unsigned long line); \
        ~Name() override;                                                              \
        char const* what() const noexcept override;                                    \
        std::string const& file() const { return file_; }                              \
        unsigned long line() const { return line_; }                                   \
                                                                                       \
    private:                                                                           \
        std::string message;                                                           \
        std::string file_;                                                             \
        unsigned long line_;                                                           \
    };

#endif
