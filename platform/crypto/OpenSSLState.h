// The crypto and TLS library keeps global state (its locks, its algorithm
// tables) and frees it from an exit handler, unless its first initialisation
// says not to. A thread of ours may still use the library while the process
// exits: a late answer from a peer whose signature is being checked, a
// web-socket task ending its connection, a transfer handle freed late. Such a
// thread would then lock a lock that is already gone and crash the exiting
// process.
//
// Every file of this layer that uses the library includes this header (all
// users of OpenSSLPtr.h do), so any program that uses the library initialises
// it before main with the exit handler left out. The process's end returns
// that memory anyway.
#pragma once

#include <openssl/crypto.h>

namespace platform::crypto::detail {

inline const bool gStateKeptAtExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

}  // namespace platform::crypto::detail
