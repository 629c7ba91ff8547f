// Feeds arbitrary bytes to the notification datagram decoder, as any local
// user can. Whatever decodes must encode again, and decode from that to the
// same notification.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "platform/notify/NotificationDatagram.h"

namespace {

bool sameNumber(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Equality in which NaN equals NaN.
bool same(const NRVValue& a, const NRVValue& b) {
    if (a.type() != b.type()) return false;
    if (a.isReal()) return sameNumber(*a.asReal(), *b.asReal());
    // Dates travel with microseconds, and the property-list reader truncates
    // to them; one less than a second before the reference date loses its
    // sign there.
    if (a.isDate()) {
        const double x = a.asDate()->sinceReferenceDate, y = b.asDate()->sinceReferenceDate;
        if (x > -1 && x < 0) return std::fabs(std::fabs(x) - std::fabs(y)) <= 2e-6;
        return std::fabs(x - y) <= 2e-6;
    }
    if (const auto* x = a.asArray()) {
        const auto* y = b.asArray();
        if (x->size() != y->size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!same((*x)[i], (*y)[i])) return false;
        return true;
    }
    if (const auto* x = a.asDictionary()) {
        const auto* y = b.asDictionary();
        if (x->keys() != y->keys()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!same(x->valueAt(i), y->valueAt(i))) return false;
        return true;
    }
    return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform::notify;
    auto decoded = datagram::decode(data, size);
    if (!decoded) return 0;
    auto encoded = datagram::encode(*decoded);
    if (!encoded) return 0;  // e.g. a re-serialised user info grown past the size limit
    auto again = datagram::decode(reinterpret_cast<const std::uint8_t*>(encoded->data()), encoded->size());
    if (!again || again->name != decoded->name || again->object != decoded->object) std::abort();
    if (again->userInfo.has_value() != decoded->userInfo.has_value()) std::abort();
    if (decoded->userInfo && !same(NRVValue(*again->userInfo), NRVValue(*decoded->userInfo))) std::abort();
    return 0;
}
