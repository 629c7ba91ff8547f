#include "foundation/NRVInvocationTarget.h"

const NRVInvocationTarget::Method* NRVInvocationTarget::SelectorTable::find(std::string_view selector) const {
    for (const auto& [name, method] : methods_)
        if (name == selector) return &method;
    return nullptr;
}
