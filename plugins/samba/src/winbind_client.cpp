#include "winbind_client.h"

#include <errno.h>

#include <mutex>

namespace sambaprovider {

wbcContext* NewWinbindContext() {
    static std::once_flag named;
    std::call_once(named, [] { wbcSetClientProcessName(program_invocation_short_name); });
    return wbcCtxCreate();
}

}  // namespace sambaprovider
