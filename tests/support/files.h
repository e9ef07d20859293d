// Test support for the test programs (which know the tool's path): a
// temporary directory, whole files, and the vorc tool run through the shell.
#ifndef VORC_TESTS_SUPPORT_FILES_H
#define VORC_TESTS_SUPPORT_FILES_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vorctest {

// A fresh directory, removed with everything in it when the object dies.
struct TempDir {
    const std::string path =
        ::mkdtemp((std::filesystem::temp_directory_path() / "vorc-test-XXXXXX").string().data());
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator[](const std::string& name) const { return path + "/" + name; }
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command line after the tool's path: the exit code, or -1.
inline int runVorc(const std::string& arguments) {
    const int status = std::system(("'" VORC_TOOL_PATH "' " + arguments).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vorctest

#endif
