// The logins of the tool's servers (`vorc serve` for its viewers, `vorc
// camera` when it plays a camera that asks for one): a login file of
// "user:hash" lines, whose salted hashes crypt(3) makes and checks, and the
// value of an HTTP "Authorization: Basic" header checked against it.
#ifndef VORC_TOOLS_NET_HTTP_LOGIN_H
#define VORC_TOOLS_NET_HTTP_LOGIN_H

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class LoginTable {
public:
    // The lines of a login file: "user:hash", where hash is a crypt(3)
    // string of a strong method (yescrypt, bcrypt, SHA-512 or SHA-256
    // crypt); empty lines and lines starting with '#' are skipped. Nothing,
    // with the reason in *problem, for a file with another line or no user.
    static std::optional<LoginTable> parse(std::string_view text, std::string* problem);
    // The same for the file at path.
    static std::optional<LoginTable> load(const std::string& path, std::string* problem);

    // True when the value of an Authorization header is "Basic" with the
    // user and password of a line. A hash takes tens of milliseconds by
    // design, so a pair once accepted is remembered and compared directly,
    // and at most HashesPerSecond pairs not yet accepted are hashed each
    // second over all clients, the others refused unchecked: a stream of
    // wrong logins must not take a server's time from its viewers. Safe to
    // call from several threads.
    bool accepts(std::string_view authorization) const;
    static constexpr int HashesPerSecond = 4;

private:
    // "user:password" pairs already checked, shared by the copies of a table.
    struct Accepted {
        std::mutex lock;
        std::vector<std::string> pairs;
        std::chrono::steady_clock::time_point secondStart;  // of the hashes counted
        int hashesThisSecond = 0;
    };

    explicit LoginTable(std::vector<std::pair<std::string, std::string>> users)
        : users_(std::move(users)), accepted_(std::make_shared<Accepted>()) {}

    bool checkedByHash(const std::string& credentials) const;

    std::vector<std::pair<std::string, std::string>> users_;  // user, hash
    std::shared_ptr<Accepted> accepted_;
};

// A new salted hash of password by crypt(3)'s default strong method, or an
// empty string with the reason in *problem.
std::string hashPassword(const std::string& password, std::string* problem);

// Compares in a time that depends on the lengths only, not on where the
// texts differ.
bool equalInConstantTime(std::string_view a, std::string_view b);

#endif
