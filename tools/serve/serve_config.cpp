// The configuration file of `vorc serve`, read with toml++: the shape is
// checked key by key, so that a misspelt or misplaced key is an error with
// its line rather than a setting silently not taken.
#include "tools/serve/serve_config.h"

#define TOML_HEADER_ONLY 1
#include <toml++/toml.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tools/cli/exit_status.h"
#include "tools/cli/frame_index.h"
#include "tools/motion/zone_options.h"
#include "tools/net/camera_source.h"
#include "vorc/core/exceptions.h"

namespace {

// A mistake at a place in the file.
struct ConfigMistake {
    int line = 0;  // 0: none to name
    std::string what;
};

int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

[[noreturn]] void mistake(const toml::node& node, std::string what) { throw ConfigMistake{lineOf(node), std::move(what)}; }

// The keys a table may hold, each with what takes its value.
using KeyReaders = std::map<std::string, std::function<void(const toml::node&)>>;

void readTable(const toml::table& table, const std::string& where, const KeyReaders& readers) {
    for (const auto& [key, node] : table) {
        const auto reader = readers.find(std::string(key.str()));
        if (reader == readers.end()) {
            throw ConfigMistake{static_cast<int>(key.source().begin.line),
                                "unknown key '" + std::string(key.str()) + "'" + where};
        }
        reader->second(node);
    }
}

const toml::table& tableOf(const toml::node& node, const std::string& name) {
    if (!node.is_table()) mistake(node, name + " must be a table ([" + name + "])");
    return *node.as_table();
}

std::string textOf(const toml::node& node, const std::string& key) {
    const std::optional<std::string> text = node.value_exact<std::string>();
    if (!text) mistake(node, key + " must be a string in quotes");
    return *text;
}

// A string, or an array of strings, each checked by take.
void readTextList(const toml::node& node, const std::string& key, const std::function<void(const toml::node&, const std::string&)>& take) {
    if (node.is_array()) {
        for (const toml::node& item : *node.as_array()) take(item, textOf(item, "each of " + key));
        return;
    }
    if (!node.is_string()) mistake(node, key + " must be a string or an array of strings");
    take(node, textOf(node, key));
}

double numberOf(const toml::node& node, const std::string& key, double least, double most) {
    const std::optional<double> number = node.is_integer() || node.is_floating_point() ? node.value<double>() : std::nullopt;
    if (!number || !(*number >= least && *number <= most)) {
        char range[96];
        std::snprintf(range, sizeof range, " must be a number from %g to %g", least, most);
        mistake(node, key + range);
    }
    return *number;
}

long wholeNumberOf(const toml::node& node, const std::string& key, long least, long most) {
    const std::optional<int64_t> number = node.value_exact<int64_t>();
    if (!number || *number < least || *number > most) {
        mistake(node, key + " must be a whole number from " + std::to_string(least) + " to " + std::to_string(most));
    }
    return static_cast<long>(*number);
}

// A relative path as seen from the configuration file's folder.
std::string besideConfig(const std::string& configPath, const std::string& path) {
    const size_t slash = configPath.rfind('/');
    if (path.empty() || path[0] == '/' || slash == std::string::npos) return path;
    return configPath.substr(0, slash + 1) + path;
}

void readMotion(const toml::node& node, const std::string& where, vorc::MotionSettings* settings) {
    std::vector<ZoneOption> zones;
    readTable(tableOf(node, "motion"), " in [" + where + "]",
              {{"zones",
                [&](const toml::node& value) {
                    if (!value.is_array()) mistake(value, "zones must be an array of \"[NAME=][-]X,Y,WxH\" strings");
                    for (const toml::node& item : *value.as_array()) {
                        ZoneOption zone;
                        if (!parseZone(textOf(item, "a zone").c_str(), &zone))
                            mistake(item, "a zone must be \"[NAME=][-]X,Y,WxH\" in pixels");
                        zones.push_back(zone);
                    }
                }},
               {"min_share", [&](const toml::node& value) { settings->minShare = numberOf(value, "min_share", 0.0, 1.0); }},
               {"min_tiles",
                [&](const toml::node& value) {
                    settings->minTiles = static_cast<int>(wholeNumberOf(value, "min_tiles", 1, INT_MAX));
                }},
               {"connectivity",
                [&](const toml::node& value) {
                    const long connectivity = wholeNumberOf(value, "connectivity", 4, 8);
                    if (connectivity != 4 && connectivity != 8) mistake(value, "connectivity must be 4 or 8");
                    settings->connectivity = connectivity == 4 ? vorc::Connectivity::Four : vorc::Connectivity::Eight;
                }},
               {"start_frames",
                [&](const toml::node& value) {
                    settings->startFrames = static_cast<int>(wholeNumberOf(value, "start_frames", 1, INT_MAX));
                }},
               {"end_frames", [&](const toml::node& value) {
                    settings->endFrames = static_cast<int>(wholeNumberOf(value, "end_frames", 1, INT_MAX));
                }}});
    settings->zones = zonesOf(zones);
    try {
        vorc::MotionDetector check(*settings);
    } catch (const vorcException& problem) {
        mistake(node, std::string("motion: ") + problem.what());
    }
}

ServedCameraConfig readCamera(const std::string& configPath, const std::string& name, const toml::node& node,
                              const ServeSource& defaults) {
    const std::string where = "cameras." + name;
    ServedCameraConfig camera;
    camera.name = name;
    camera.title = name;
    camera.source = defaults;
    camera.source.logName = name;
    const toml::node* sourceNode = nullptr;
    const toml::node* userNode = nullptr;
    std::optional<std::string> password;
    readTable(tableOf(node, where), " in [" + where + "]",
              {{"source", [&](const toml::node& value) { sourceNode = &value; }},
               {"user", [&](const toml::node& value) { userNode = &value; }},
               {"password", [&](const toml::node& value) { password = textOf(value, "password"); }},
               {"title", [&](const toml::node& value) { camera.title = textOf(value, "title"); }},
               {"fps", [&](const toml::node& value) { camera.source.fps = numberOf(value, "fps", 0.0, 1e6); }},
               {"timeout",
                [&](const toml::node& value) { camera.source.timeoutSeconds = numberOf(value, "timeout", 0.0, 1e6); }},
               {"motion", [&](const toml::node& value) { readMotion(value, where + ".motion", &camera.source.motion); }}});
    if (sourceNode == nullptr) mistake(node, "[" + where + "] has no source (a camera's HOST:PORT or a stream file)");
    const std::string text = textOf(*sourceNode, "source");
    const std::string file = besideConfig(configPath, text);
    std::string problem;
    if (!takeSource(std::ifstream(file) ? file : text, &camera, &problem)) mistake(*sourceNode, problem);
    if (userNode != nullptr) {
        const std::string user = textOf(*userNode, "user");
        if (user.empty() || user.find(':') != std::string::npos) mistake(*userNode, "user must be a name without ':'");
        if (!camera.source.file.empty()) mistake(*userNode, "user and password are for a camera, not a stream file");
        if (camera.source.cameraLogin) mistake(*userNode, "the login is in source already: give it there or as user and password");
        camera.source.cameraLogin = vorc::CameraLogin{user, password.value_or("")};
    } else if (password) {
        mistake(node, "[" + where + "] has a password but no user");
    }
    return camera;
}

ServeConfig readConfig(const std::string& path, const toml::table& file, const ServeSource& defaults) {
    ServeConfig config;
    const toml::node* cameras = nullptr;
    readTable(file, "", {{"listen", [&](const toml::node& value) { config.listen = textOf(value, "listen"); }},
                         {"client_timeout",
                          [&](const toml::node& value) { config.clientTimeout = numberOf(value, "client_timeout", 0.0, 1e6); }},
                         {"max_clients",
                          [&](const toml::node& value) { config.maxClients = wholeNumberOf(value, "max_clients", 1, INT_MAX); }},
                         {"auth_file",
                          [&](const toml::node& value) {
                              std::string problem;
                              config.logins = LoginTable::load(besideConfig(path, textOf(value, "auth_file")), &problem);
                              if (!config.logins) mistake(value, problem);
                          }},
                         {"open",
                          [&](const toml::node& value) {
                              HttpAccessSettings check;
                              config.openAddresses.emplace();
                              readTextList(value, "open", [&](const toml::node& item, const std::string& address) {
                                  if (!openAddress(address, &check)) mistake(item, "open may name \"health\" and \"metrics\"");
                                  config.openAddresses->push_back(address);
                              });
                          }},
                         {"allow_origin",
                          [&](const toml::node& value) {
                              config.allowedOrigins.emplace();
                              readTextList(value, "allow_origin", [&](const toml::node& item, const std::string& origin) {
                                  if (origin.empty()) mistake(item, "allow_origin needs \"*\" or origins such as \"https://example.org\"");
                                  config.allowedOrigins->push_back(origin);
                              });
                          }},
                         {"cameras", [&](const toml::node& value) { cameras = &value; }}});
    if (cameras == nullptr) throw ConfigMistake{0, "no camera: add a [cameras.NAME] table with a source"};
    // A table's keys come sorted; the cameras go in the order of the file.
    std::vector<std::pair<const toml::key*, const toml::node*>> inFileOrder;
    for (const auto& [key, node] : tableOf(*cameras, "cameras")) inFileOrder.emplace_back(&key, &node);
    std::stable_sort(inFileOrder.begin(), inFileOrder.end(), [](const auto& a, const auto& b) {
        return a.first->source().begin < b.first->source().begin;
    });
    for (const auto& [keyOf, nodeOf] : inFileOrder) {
        const toml::key& key = *keyOf;
        const toml::node& node = *nodeOf;
        const std::string name(key.str());
        if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") !=
                                std::string::npos) {
            throw ConfigMistake{static_cast<int>(key.source().begin.line),
                                "the camera name '" + name + "' may hold only letters, digits, '-' and '_'"};
        }
        config.cameras.push_back(readCamera(path, name, node, defaults));
    }
    if (config.cameras.empty()) mistake(*cameras, "no camera: add a [cameras.NAME] table with a source");
    return config;
}

}  // namespace

bool takeSource(const std::string& text, ServedCameraConfig* camera, std::string* problem) {
    std::optional<vorc::HostAndPort> address;
    if (!parseSourceOperand(text.c_str(), &address, problem)) return false;
    if (address) {
        camera->source.cameraHost = address->host;
        camera->source.cameraPort = address->port;
        camera->source.cameraLogin = address->login;
        return true;
    }
    camera->source.file = text;
    camera->stream = loadLoopableStream(text, problem);
    return !camera->stream.empty();
}

bool openAddress(const std::string& address, HttpAccessSettings* access) {
    if (address == "health") {
        access->openHealth = true;
    } else if (address == "metrics") {
        access->openMetrics = true;
    } else {
        return false;
    }
    return true;
}

bool readServeConfig(const std::string& path, const ServeSource& defaults, ServeConfig* config, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = systemError("open", path);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        const toml::table file = toml::parse(text.str(), std::string_view(path));
        *config = readConfig(path, file, defaults);
        return true;
    } catch (const toml::parse_error& problem) {
        *error = path + ":" + std::to_string(problem.source().begin.line) + ": " + std::string(problem.description());
    } catch (const ConfigMistake& problem) {
        *error = path + (problem.line > 0 ? ":" + std::to_string(problem.line) : "") + ": " + problem.what;
    }
    return false;
}
