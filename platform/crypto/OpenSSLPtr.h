// One owner for OpenSSL objects: OpenSSLPtr<T> is a std::unique_ptr that
// releases the object with T's own free function, so that every way out of a
// function frees what it made. Each type the system holds is named once below
// with its free function; a type missing here does not compile, rather than
// being freed the wrong way.
//
// A stack of certificates owns its members: they are freed with it. Push
// only certificates whose reference was taken for the stack (X509_up_ref, or
// a "get1" call that hands one over).
#pragma once

#include "platform/crypto/OpenSSLState.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace platform::crypto {

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <class T>
struct OpenSSLFree;

template <> struct OpenSSLFree<BIO> : FreeWith<BIO_free> {};
template <> struct OpenSSLFree<EVP_CIPHER_CTX> : FreeWith<EVP_CIPHER_CTX_free> {};
template <> struct OpenSSLFree<EVP_MD_CTX> : FreeWith<EVP_MD_CTX_free> {};
template <> struct OpenSSLFree<EVP_PKEY> : FreeWith<EVP_PKEY_free> {};
template <> struct OpenSSLFree<OCSP_BASICRESP> : FreeWith<OCSP_BASICRESP_free> {};
template <> struct OpenSSLFree<OCSP_CERTID> : FreeWith<OCSP_CERTID_free> {};
template <> struct OpenSSLFree<OCSP_RESPONSE> : FreeWith<OCSP_RESPONSE_free> {};
template <> struct OpenSSLFree<X509> : FreeWith<X509_free> {};
template <> struct OpenSSLFree<X509_NAME> : FreeWith<X509_NAME_free> {};
template <> struct OpenSSLFree<X509_PUBKEY> : FreeWith<X509_PUBKEY_free> {};
template <> struct OpenSSLFree<X509_REQ> : FreeWith<X509_REQ_free> {};
template <> struct OpenSSLFree<X509_STORE> : FreeWith<X509_STORE_free> {};
template <> struct OpenSSLFree<X509_STORE_CTX> : FreeWith<X509_STORE_CTX_free> {};
template <> struct OpenSSLFree<X509_VERIFY_PARAM> : FreeWith<X509_VERIFY_PARAM_free> {};
template <> struct OpenSSLFree<STACK_OF(X509)> {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

template <class T>
using OpenSSLPtr = std::unique_ptr<T, OpenSSLFree<T>>;

}  // namespace platform::crypto
