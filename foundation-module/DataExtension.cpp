#include "foundation-module/DataExtension.h"

#include "foundation/NSDataExtensions.h"

namespace DataExtension {

std::string hexDescription(const NRVData* data) { return data ? hexRepresentation(*data) : "(null)"; }

std::string hexRepresentation(const NRVData& data) { return NSDataExtensions::hexRepresentation(data); }

}  // namespace DataExtension
