#include "foundation/NSInvocationQRBUtilities.h"

namespace QRBUtilities {

bool invokeSelector(std::string_view selector, NRVInvocationTarget* target, const void* argument) {
    if (!target || selector.empty()) return false;
    const NRVInvocationTarget::Method* method = target->selectorTable().find(selector);
    if (!method || !*method) return false;
    (*method)(*target, argument);
    return true;
}

}  // namespace QRBUtilities
