// Login files and HTTP Basic logins, with the hashes of libcrypt.
#include "tools/net/http_login.h"

#include <crypt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "vorc/util/base64.h"

namespace {

// Pairs once accepted that are remembered; beyond, the oldest is forgotten.
constexpr size_t AcceptedPairsKept = 32;
// crypt(3) prefixes of the methods a login file may use; the older ones
// (MD5, DES) are refused.
constexpr const char* StrongMethods[] = {"$y$", "$gy$", "$7$", "$2b$", "$6$", "$5$"};

bool isStrongHash(std::string_view hash) {
    return std::any_of(std::begin(StrongMethods), std::end(StrongMethods),
                       [&](const char* prefix) { return hash.rfind(prefix, 0) == 0; });
}

// Strict base64 (the alphabet of RFC 4648, padded), or nothing.
std::optional<std::string> decodedBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    std::string bytes;
    uint32_t group = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t value = 0;
        if (i < text.size() - padding) {
            const char* at = text[i] == '\0' ? nullptr : std::strchr(vorc::Base64EncodeTable, text[i]);
            if (at == nullptr) return std::nullopt;
            value = static_cast<uint32_t>(at - vorc::Base64EncodeTable);
        }
        group = (group << 6) | value;
        if (i % 4 == 3) {
            for (int shift = 16; shift >= 0; shift -= 8) bytes += static_cast<char>((group >> shift) & 0xFF);
            group = 0;
        }
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

// crypt(3) of password with the settings of hash (the whole hash will do),
// or an empty string when it fails.
std::string cryptHash(const std::string& password, const std::string& settings) {
    const auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_rn(password.c_str(), settings.c_str(), data.get(), sizeof *data);
    return hash == nullptr || hash[0] == '*' ? std::string() : std::string(hash);
}

}  // namespace

bool equalInConstantTime(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    const size_t length = std::max(a.size(), b.size());
    for (size_t i = 0; i < length; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= static_cast<unsigned char>(x ^ y);
    }
    return difference == 0;
}

std::optional<LoginTable> LoginTable::parse(std::string_view text, std::string* problem) {
    std::vector<std::pair<std::string, std::string>> users;
    std::istringstream lines{std::string(text)};
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const size_t colon = line.find(':');
        const std::string hash = colon == std::string::npos ? std::string() : line.substr(colon + 1);
        if (colon == 0 || !isStrongHash(hash)) {
            *problem = "line " + std::to_string(number) +
                       " is not 'user:hash' with a hash of 'vorc passwd USER' (yescrypt, bcrypt or SHA crypt)";
            return std::nullopt;
        }
        users.emplace_back(line.substr(0, colon), hash);
    }
    if (users.empty()) {
        *problem = "it names no user";
        return std::nullopt;
    }
    return LoginTable(std::move(users));
}

std::optional<LoginTable> LoginTable::load(const std::string& path, std::string* problem) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        *problem = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::optional<LoginTable> table = parse(text.str(), problem);
    if (!table) *problem = path + ": " + *problem;
    return table;
}

bool LoginTable::accepts(std::string_view authorization) const {
    constexpr std::string_view Scheme = "Basic ";
    if (authorization.size() <= Scheme.size()) return false;
    // The scheme's name is case-insensitive.
    for (size_t i = 0; i < Scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != std::tolower(static_cast<unsigned char>(Scheme[i])))
            return false;
    }
    const std::optional<std::string> credentials = decodedBase64(authorization.substr(Scheme.size()));
    // crypt(3) would stop at a NUL and take a password's start for the whole.
    if (!credentials || credentials->find(':') == std::string::npos || credentials->find('\0') != std::string::npos)
        return false;
    std::vector<std::string>& pairs = accepted_->pairs;
    {
        const std::lock_guard<std::mutex> hold(accepted_->lock);
        bool known = false;
        for (const std::string& pair : pairs) known |= equalInConstantTime(pair, *credentials);
        if (known) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now - accepted_->secondStart >= std::chrono::seconds(1)) {
            accepted_->secondStart = now;
            accepted_->hashesThisSecond = 0;
        }
        if (accepted_->hashesThisSecond == HashesPerSecond) return false;
        ++accepted_->hashesThisSecond;
    }
    if (!checkedByHash(*credentials)) return false;
    const std::lock_guard<std::mutex> hold(accepted_->lock);
    if (pairs.size() == AcceptedPairsKept) pairs.erase(pairs.begin());
    pairs.push_back(*credentials);
    return true;
}

bool LoginTable::checkedByHash(const std::string& credentials) const {
    const size_t colon = credentials.find(':');
    const std::string user = credentials.substr(0, colon);
    const std::string password = credentials.substr(colon + 1);
    const auto line = std::find_if(users_.begin(), users_.end(), [&](const auto& entry) { return entry.first == user; });
    // An unknown user costs a hash too, so the time does not tell which
    // users exist.
    const std::string& hash = line == users_.end() ? users_.front().second : line->second;
    const std::string computed = cryptHash(password, hash);
    return equalInConstantTime(computed, hash) && line != users_.end() && !computed.empty();
}

std::string hashPassword(const std::string& password, std::string* problem) {
    char settings[CRYPT_GENSALT_OUTPUT_SIZE];
    // No prefix: libcrypt's default strong method, with random salt.
    if (::crypt_gensalt_rn(nullptr, 0, nullptr, 0, settings, sizeof settings) == nullptr) {
        *problem = std::string("cannot make a salt: ") + std::strerror(errno);
        return std::string();
    }
    std::string hash = cryptHash(password, settings);
    if (hash.empty() || !isStrongHash(hash)) *problem = std::string("cannot hash the password: ") + std::strerror(errno);
    return isStrongHash(hash) ? hash : std::string();
}
