// The order in which a binary encoding lays out the bytes of an integer.
#pragma once

namespace platform::bytes {

enum class ByteOrder { BigEndian, LittleEndian };

}  // namespace platform::bytes
