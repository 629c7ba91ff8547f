// Shared pieces of the fuzz targets: a value comparison for round trips and
// a private scratch folder for readers that take a path.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/fs/FileManager.h"
#include "platform/log/LogStore.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/text/UTF8Bridge.h"
#include "platform/value/NRVValue.h"

namespace fuzz {

// Structural equality in which a NaN equals a NaN (as a real or as a date):
// a value read back as NaN is the same value, though `==` says otherwise. With `numbersByValue`, an
// integer and a real of the same value are equal, as JSON text does not
// tell them apart (2500.0 prints as 2500).
inline bool sameValue(const NRVValue& a, const NRVValue& b, bool numbersByValue = false) {
    if (numbersByValue && a.isNumber() && b.isNumber() && a.type() != b.type()) {
        const NRVValue& i = a.isInteger() ? a : b;
        const NRVValue& r = a.isInteger() ? b : a;
        return static_cast<double>(*i.asInteger()) == *r.asReal();
    }
    if (a.type() != b.type()) return false;
    if (const double* x = a.asReal()) {
        const double y = *b.asReal();
        return (std::isnan(*x) && std::isnan(y)) || *x == y;
    }
    if (const NRVDate* x = a.asDate()) {
        const double s = x->sinceReferenceDate, t = b.asDate()->sinceReferenceDate;
        return (std::isnan(s) && std::isnan(t)) || s == t;
    }
    if (const NRVArray* x = a.asArray()) {
        const NRVArray& y = *b.asArray();
        if (x->size() != y.size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!sameValue((*x)[i], y[i], numbersByValue)) return false;
        return true;
    }
    if (const NRVDictionary* x = a.asDictionary()) {
        const NRVDictionary& y = *b.asDictionary();
        if (x->size() != y.size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i) {
            const NRVValue* other = y.find(x->keyAt(i));
            if (!other || !sameValue(x->valueAt(i), *other, numbersByValue)) return false;
        }
        return true;
    }
    return a == b;
}

// Whether a text anywhere in the value, keys included, holds a NUL, which
// the property-list writer refuses rather than cutting the text short.
inline bool containsNul(const NRVValue& v) {
    if (const std::string* s = v.asString()) return s->find('\0') != std::string::npos;
    if (const NRVArray* a = v.asArray()) {
        for (const NRVValue& item : *a)
            if (containsNul(item)) return true;
    }
    if (const NRVDictionary* d = v.asDictionary()) {
        for (std::size_t i = 0; i < d->size(); ++i)
            if (d->keyAt(i).find('\0') != std::string::npos || containsNul(d->valueAt(i))) return true;
    }
    return false;
}

// The value as the property-list writer writes it: every text, keys
// included, with malformed UTF-8 replaced by U+FFFD.
inline NRVValue asWritten(const NRVValue& v) {
    if (const std::string* s = v.asString()) return NRVValue(platform::text::wellFormedUTF8(*s));
    if (const NRVArray* a = v.asArray()) {
        NRVArray out;
        for (const NRVValue& item : *a) out.push_back(asWritten(item));
        return NRVValue(std::move(out));
    }
    if (const NRVDictionary* d = v.asDictionary()) {
        NRVDictionary out;
        for (std::size_t i = 0; i < d->size(); ++i)
            out.set(platform::text::wellFormedUTF8(d->keyAt(i)), asWritten(d->valueAt(i)));
        return NRVValue(std::move(out));
    }
    return v;
}

// A folder of this process's own, made once: mode 0700 under the temporary
// folder, so no other user can swap what a target reads.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        auto made = platform::fs::createTemporaryDirectory(platform::temporaryDirectory(), "nrv-fuzz.");
        if (!made) std::abort();
        return *made;
    }();
    return folder;
}

// Puts the bytes at `path` as a new file (a new inode each time, so caches
// keyed by file identity see a new file), with the given mode.
inline void replaceFile(const std::string& path, std::string_view bytes, unsigned mode = 0600) {
    if (!platform::fs::writeFileAtomicallyWithPermissions(path, bytes, mode)) std::abort();
}

// Readers log what they refuse; a run of millions of inputs must not fill
// the machine's log store, so the targets drop their records.
class DiscardSink final : public platform::log::Sink {
public:
    void write(const platform::log::Record&) override {}
};

inline void discardLogs() { platform::log::setSink(std::make_shared<DiscardSink>()); }

}  // namespace fuzz
