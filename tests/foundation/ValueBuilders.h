// Short forms for building values in the foundation tests.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "platform/value/NRVValue.h"

namespace testsupport {

// A dictionary with the entries in the order given.
inline NRVDictionary dict(std::initializer_list<std::pair<std::string, NRVValue>> entries) {
    NRVDictionary d;
    for (const auto& [key, value] : entries) d.set(key, value);
    return d;
}

}  // namespace testsupport
