// bcrypt, the one place the exporter meets it: the Linux build checks a
// hash with the C library's crypt (libxcrypt, bcrypt_crypt.cpp); the Windows
// build, where libxcrypt does not go, with Botan 2's bcrypt module
// (bcrypt_botan.cpp). CMake links exactly one of them.
#ifndef TALVIRO_EXPORTER_BCRYPT_H
#define TALVIRO_EXPORTER_BCRYPT_H

#include <string>

namespace exporter {

// Whether password matches a bcrypt hash in its modular form ("$2a$",
// "$2b$" or "$2y$", a cost of two digits, 53 characters of salt and hash,
// as htpasswd -nBC 10 writes them). False for a hash it cannot read; never
// throws. Takes as long as the hash's cost asks: call it off the serving
// thread (password_check.h).
bool bcrypt_matches(const std::string& password, const std::string& hash);

}  // namespace exporter

#endif
