// A new random (version 4) UUID string in the platform's upper-case form,
// for the names of a process's own services.
#pragma once

#include <cstdio>
#include <random>
#include <string>

inline std::string NRVUUIDString() {
    std::random_device rd;
    unsigned char b[16];
    for (auto& x : b) x = static_cast<unsigned char>(rd());
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}
