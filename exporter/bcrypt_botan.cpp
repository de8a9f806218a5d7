#include "exporter/bcrypt.h"

#include <botan/bcrypt.h>

#include <exception>

namespace exporter {

bool bcrypt_matches(const std::string& password, const std::string& hash) {
    // check_bcrypt compares in constant time; it throws for a cost it will
    // not compute (below 4, above 18 in Botan 2), which is no match here.
    try {
        return Botan::check_bcrypt(password, hash);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace exporter
