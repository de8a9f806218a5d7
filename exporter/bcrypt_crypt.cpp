#include "exporter/bcrypt.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <memory>

namespace exporter {

bool bcrypt_matches(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();
    const char* made = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
    if (made == nullptr || made[0] == '*') return false;
    const std::string result(made);
    return result.size() == hash.size() && CRYPTO_memcmp(result.data(), hash.data(), hash.size()) == 0;
}

}  // namespace exporter
