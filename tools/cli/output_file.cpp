// Output files that a failure removes again.
#include "tools/cli/output_file.h"

#include <sys/stat.h>

OutputFile::OutputFile(const std::string& path)
    : path_(path), toStandardOutput_(path == "-"), file_(toStandardOutput_ ? stdout : std::fopen(path.c_str(), "wb")) {
    struct stat info {};
    regular_ = file_ != nullptr && !toStandardOutput_ && ::fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode);
}

OutputFile::~OutputFile() {
    if (!kept_) discard();
}

bool OutputFile::close() {
    if (file_ == nullptr) return false;
    const bool closed = toStandardOutput_ ? std::fflush(stdout) == 0 : std::fclose(file_) == 0;
    file_ = nullptr;
    return closed;
}

void OutputFile::discard() {
    if (toStandardOutput_) {
        file_ = nullptr;
        return;
    }
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (regular_) std::remove(path_.c_str());
    regular_ = false;
}
