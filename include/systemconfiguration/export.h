#ifndef SYSTEMCONFIGURATION_EXPORT_H
#define SYSTEMCONFIGURATION_EXPORT_H

#include <exception>
#include <string>

// The models are built into a library with hidden visibility; only what carries this mark is
// exported.
#define SYSTEMCONFIGURATION_EXPORT __attribute__((visibility("default")))

// The models' exception classes: each derives directly from the standard exception and
// carries its message.
#define SYSTEMCONFIGURATION_EXCEPTION(Name)                         \
    class SYSTEMCONFIGURATION_EXPORT Name : public std::exception { \
    public:                                                         \
        explicit Name(std::string const& message);                  \
        ~Name() override;                                           \
        char const* what() const noexcept override;                 \
                                                                    \
    private:                                                        \
        std::string message;                                        \
    };

#endif
