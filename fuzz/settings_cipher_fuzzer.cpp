// Feeds arbitrary text to the settings cipher's Base64 and frame decoding,
// as stored values written by other programs reach it. Enciphering the input
// and deciphering the result must give the input back, and Base64 must
// round-trip any bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings-client/SPACipher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::uint8_t> decoded(3 * (size / 4) + 1);
    if (decode_base64(text.c_str(), decoded.data(), size) != 3 * (size / 4)) __builtin_trap();
    (void)decryptString(text);

    std::vector<char> encoded(4 * ((size + 2) / 3) + 1);
    const std::size_t written = encode_base64(data, encoded.data(), size);
    if (written != 4 * ((size + 2) / 3)) __builtin_trap();
    std::vector<std::uint8_t> back(3 * (written / 4) + 1);
    const std::size_t n = decode_base64(encoded.data(), back.data(), written);
    if (n < size || !std::equal(data, data + size, back.begin())) __builtin_trap();

    if (auto cipher = encryptString(text)) {
        if (decryptString(*cipher) != text) __builtin_trap();
    }
    return 0;
}
