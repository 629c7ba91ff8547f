// The access list of a keychain item: a description and the programs
// trusted to use the item without asking. This build stores the list with
// the item but does not enforce it: any process that can read the keychain
// file and knows its password can read the item.
#pragma once

#include <string>
#include <vector>

#include "platform/value/NRVValue.h"

struct NRVAccess {
    std::string description;
    std::vector<std::string> trustedApplications;

    NRVValue toValue() const {
        NRVArray applications;
        for (const std::string& path : trustedApplications) applications.emplace_back(path);
        NRVDictionary d;
        d.set("description", description);
        d.set("trustedApplications", std::move(applications));
        return d;
    }
};
