#include "platform/text/Collation.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>

#include "platform/thread/Mutex.h"

namespace platform::text {

namespace {

std::unique_ptr<icu::Collator> makeCollator() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::getDefault();
    // The "C" locale maps to a code-point-like tailoring; people's lists use
    // the common ordering.
    if (std::string(locale.getName()) == "en_US_POSIX" || std::string(locale.getLanguage()).empty())
        locale = icu::Locale::getRoot();
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) return nullptr;
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    collator->setStrength(icu::Collator::SECONDARY);
    return collator;
}

}  // namespace

int localizedStandardCompare(const std::string& a, const std::string& b) {
    static platform::Mutex mutex;
    static icu::Collator* collator = makeCollator().release();
    if (collator) {
        platform::MutexLock lock(mutex);
        UErrorCode status = U_ZERO_ERROR;
        UCollationResult r = collator->compareUTF8(a, b, status);
        if (U_SUCCESS(status) && r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
    }
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace platform::text
