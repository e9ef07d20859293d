// Matroska files through the writer module, loaded once, the first time a
// Matroska file is made; see matroska_module.h for why it is a module.
#include "tools/record/matroska_file.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "vorc/core/exceptions.h"

struct MatroskaModule {
    VorcMatroskaOpen open = nullptr;
    VorcMatroskaAdd add = nullptr;
    VorcMatroskaFailed failed = nullptr;
    VorcMatroskaClose close = nullptr;
    std::string problem;  // why it could not be loaded
};

namespace {

// The module stands in VORC_MATROSKA_MODULE_DIR relative to the running
// program's folder: the installed libraries' folder from the installed
// tool, the build folder's copy from the tool and the tests in a build.
std::string modulePath() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "vorc-matroska.so";
    const std::string program(self, static_cast<size_t>(length));
    return program.substr(0, program.rfind('/') + 1) + VORC_MATROSKA_MODULE_DIR "/vorc-matroska.so";
}

MatroskaModule loadModule() {
    MatroskaModule module;
    const std::string path = modulePath();
    // Never closed: the writers it makes may live until the program ends.
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        module.problem = std::string("cannot load the Matroska writer: ") + ::dlerror();
        return module;
    }
    module.open = reinterpret_cast<VorcMatroskaOpen>(::dlsym(library, VORC_MATROSKA_OPEN_NAME));
    module.add = reinterpret_cast<VorcMatroskaAdd>(::dlsym(library, VORC_MATROSKA_ADD_NAME));
    module.failed = reinterpret_cast<VorcMatroskaFailed>(::dlsym(library, VORC_MATROSKA_FAILED_NAME));
    module.close = reinterpret_cast<VorcMatroskaClose>(::dlsym(library, VORC_MATROSKA_CLOSE_NAME));
    if (!module.open || !module.add || !module.failed || !module.close)
        module.problem = "the Matroska writer '" + path + "' lacks its functions";
    return module;
}

const MatroskaModule& matroskaModule() {
    static const MatroskaModule module = loadModule();
    if (!module.problem.empty()) throw vorc::Error(module.problem);
    return module;
}

int64_t millisOf(WallClock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

MatroskaFile::MatroskaFile(const std::string& path) : module_(matroskaModule()) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) throw vorc::Error("cannot create '" + path + "': " + std::strerror(errno));
    writer_ = module_.open(fd);
    if (writer_ == nullptr) throw vorc::Error("cannot create '" + path + "': out of memory");
}

MatroskaFile::~MatroskaFile() {
    if (writer_ != nullptr) close();
}

void MatroskaFile::addImage(const uint8_t* jpeg, size_t size, const RecordedFrame& frame) {
    module_.add(writer_, jpeg, size, millisOf(frame.received), frame.width, frame.height);
}

bool MatroskaFile::close() {
    if (writer_ == nullptr) return !failed_;
    failed_ = module_.close(writer_) == 0;
    writer_ = nullptr;
    return !failed_;
}

bool MatroskaFile::failed() const { return writer_ != nullptr ? module_.failed(writer_) != 0 : failed_; }
