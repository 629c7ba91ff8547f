// Fixture trees for the Wellcheck report tests: a system root and a home
// folder in a temporary folder, preference lists written into them as XML or
// binary property lists, TZ=UTC and fixed host facts.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "collector/wellcheck/WCKSnapshotGenerator.h"
#include "platform/value/NRVValue.h"
#include "platform/plist/PropertyList.h"
#include "support/TestSupport.h"

namespace wcktest {

inline NRVValue D(std::initializer_list<std::pair<const char*, NRVValue>> entries) {
    NRVDictionary d;
    for (const auto& [k, v] : entries) d.set(k, v);
    return d;
}
inline NRVValue A(std::initializer_list<NRVValue> elements) { return NRVArray(elements); }

inline nlohmann::json toJSON(const NRVValue& v) {
    if (const std::string* s = v.asString()) return *s;
    if (const NRVDictionary* d = v.asDictionary()) {
        nlohmann::json j = nlohmann::json::object();
        for (std::size_t i = 0; i < d->size(); ++i) j[d->keyAt(i)] = toJSON(d->valueAt(i));
        return j;
    }
    return "<not a text or object>";
}
inline nlohmann::json toJSON(const NRVDictionary& d) { return toJSON(NRVValue(d)); }
inline nlohmann::json J(const char* text) { return nlohmann::json::parse(text); }

class Tree {
public:
    Tree()
        : root_("NRV_SYSTEM_ROOT", dir_ / "root"), home_("HOME", dir_ / "home"), tz_("TZ", std::string("UTC")) {
        WCKSnapshotGenerator::overrideHostFacts(WCKHostFacts{"Test Mac", "14.5.1"});
    }
    ~Tree() { WCKSnapshotGenerator::overrideHostFacts(std::nullopt); }

    std::string systemPreferences(const std::string& name) const { return dir_ / ("root/Library/Preferences/" + name); }
    std::string userPreferences(const std::string& name) const { return dir_ / ("home/Library/Preferences/" + name); }

    void systemList(const std::string& name, const NRVValue& value,
                    platform::plist::Format format = platform::plist::Format::XML) const {
        write(systemPreferences(name), value, format);
    }
    void userList(const std::string& name, const NRVValue& value,
                  platform::plist::Format format = platform::plist::Format::XML) const {
        write(userPreferences(name), value, format);
    }
    const testsupport::TempDir& dir() const { return dir_; }

    // Writes the report into the tree and reads it back as parsed JSON.
    nlohmann::json report() const {
        const std::string path = dir_ / "staging/Nerova Wellcheck.log";
        if (!WCKSnapshotGenerator::writeSnapshot(path)) return nullptr;
        return nlohmann::json::parse(testsupport::readText(path));
    }

private:
    static void write(const std::string& path, const NRVValue& value, platform::plist::Format format) {
        testsupport::writeText(path, "");
        if (!platform::plist::writeFile(path, value, format)) throw std::runtime_error("cannot write " + path);
    }

    testsupport::TempDir dir_;
    testsupport::ScopedEnv root_, home_, tz_;
};

}  // namespace wcktest
