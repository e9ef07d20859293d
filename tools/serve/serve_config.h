// `vorc serve --config FILE`: several cameras in one server, from a TOML
// file:
//   listen = "127.0.0.1:8000"
//   [cameras.front]
//   source = "192.0.2.10:80"   # a camera's HOST:PORT, or a stream file played in a loop
//   fps = 10
// with the viewers' login and the browser rules at the top (auth_file,
// open, allow_origin) and a camera's login in its table (user, password).
// Every mistake is reported with the file's name and the line it is on.
#ifndef VORC_TOOLS_SERVE_SERVE_CONFIG_H
#define VORC_TOOLS_SERVE_SERVE_CONFIG_H

#include <optional>
#include <string>
#include <vector>

#include "tools/net/http_login.h"
#include "tools/serve/http_access.h"
#include "tools/serve/serve_source.h"

struct ServedCameraConfig {
    std::string name;   // the key of its table: letters, digits, '-' and '_'
    std::string title;  // shown on the pages; the name unless given
    ServeSource source;
    std::vector<unsigned char> stream;  // a file source's stream, loaded
};

struct ServeConfig {
    std::string listen;  // empty: not given
    std::optional<double> clientTimeout;
    std::optional<long> maxClients;
    // Each unset unless given; as --auth-file, --open and --allow-origin.
    std::optional<LoginTable> logins;
    std::optional<std::vector<std::string>> openAddresses;
    std::optional<std::vector<std::string>> allowedOrigins;
    std::vector<ServedCameraConfig> cameras;  // in the order of the file
};

// A SOURCE into camera->source, which holds the defaults: a stream file
// when a file of that name exists (then loaded), else the
// [USER:PASSWORD@]HOST:PORT of a camera. False for neither, with the usage
// error's text in *problem.
bool takeSource(const std::string& text, ServedCameraConfig* camera, std::string* problem);

// Opens an address of --open or of the file's open list to viewers
// without a login: "health" or "metrics"; false for any other.
bool openAddress(const std::string& address, HttpAccessSettings* access);

// Reads the file; the sources' fps, timeout and verbosity come from
// defaults unless the file gives them. A relative file source, or login
// file, lies beside the configuration file. False, with "FILE:LINE: what is wrong" (or
// "FILE: ..." for what has no line) in *error, for any mistake.
bool readServeConfig(const std::string& path, const ServeSource& defaults, ServeConfig* config, std::string* error);

#endif
