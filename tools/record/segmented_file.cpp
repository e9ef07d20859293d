// Segment names from a strftime pattern, the regular expression that finds
// the files of a pattern again, and the retention of those files.
#include "tools/record/segmented_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "vorc/core/exceptions.h"

namespace fs = std::filesystem;

namespace {

// The file part of the pattern as a regular expression: text as itself, a
// conversion as any run of characters but '/', and room for the "_N" that
// keeps a second file of the same name apart.
std::regex regexOfPattern(const std::string& name) {
    std::string expression;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '%' && i + 1 < name.size()) {
            ++i;
            if (name[i] == '%') expression += "%";
            else {
                // Flags and modifiers (%-d, %Ey, %Od) belong to the conversion.
                while (i + 1 < name.size() && std::strchr("-_0^#EO", name[i]) != nullptr) ++i;
                expression += "[^/]+";
            }
            continue;
        }
        if (std::strchr(".^$|()[]{}*+?\\", c) != nullptr) expression += '\\';
        expression += c;
    }
    const size_t dot = expression.rfind("\\.");
    const size_t lastConversion = expression.rfind("[^/]+");
    // "_N" goes before the extension.
    if (dot != std::string::npos && (lastConversion == std::string::npos || dot > lastConversion))
        expression.insert(dot, "(_[0-9]+)?");
    else
        expression += "(_[0-9]+)?";
    return std::regex(expression);
}

std::string withCounter(const std::string& path, int counter) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
    return path.substr(0, at) + "_" + std::to_string(counter) + path.substr(at);
}

}  // namespace

bool hasTimeConversion(const std::string& pattern) {
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (pattern[i + 1] != '%') return true;
        ++i;
    }
    return false;
}

std::string patternProblem(const std::string& pattern) {
    const size_t slash = pattern.rfind('/');
    if (slash != std::string::npos && hasTimeConversion(pattern.substr(0, slash)))
        return "'" + pattern + "': time conversions go in the file name, not in its directory";
    return std::string();
}

SegmentedFile::SegmentedFile(std::string pattern, Container container, SegmentRules rules)
    : pattern_(std::move(pattern)), container_(container), rules_(rules), timed_(hasTimeConversion(pattern_)) {
    if (const std::string problem = patternProblem(pattern_); !problem.empty()) throw vorc::Error(problem);
    const size_t slash = pattern_.rfind('/');
    directory_ = slash == std::string::npos ? "." : pattern_.substr(0, slash);
    if (directory_.empty()) directory_ = "/";
    namesOfPattern_ = regexOfPattern(slash == std::string::npos ? pattern_ : pattern_.substr(slash + 1));
    if (pattern_ != "-") {
        std::error_code error;
        fs::create_directories(directory_, error);
        if (error) throw vorc::Error("cannot create directory '" + directory_ + "': " + error.message());
    }
    // One file is created at once, so that a name that cannot be written
    // is found before the recording begins.
    if (!timed_) {
        current_ = openRecordingOutput(pattern_, container_);
        currentPath_ = pattern_;
        if (pattern_ != "-") created_.push_back(pattern_);
    }
}

SegmentedFile::~SegmentedFile() { closeFile(); }

void SegmentedFile::addImage(const uint8_t* jpeg, size_t size, const RecordedFrame& frame) {
    // A new picture size begins a new file too: a Matroska track states one.
    if (current_ != nullptr && timed_ &&
        ((rules_.segmentLength.count() > 0 && frame.received - currentFirst_.received >= rules_.segmentLength) ||
         frame.width != currentFirst_.width || frame.height != currentFirst_.height))
        closeFile();
    if (current_ == nullptr) openFile(frame);
    current_->addImage(jpeg, size, frame);
}

void SegmentedFile::cut() {
    if (timed_) closeFile();
}

bool SegmentedFile::close(std::string* failure) {
    closeFile();
    if (!failure_.empty()) *failure = failure_;
    return failure_.empty();
}

void SegmentedFile::openFile(const RecordedFrame& first) {
    std::string path = pattern_;
    if (timed_) {
        const std::time_t seconds = WallClock::to_time_t(first.received);
        std::tm local{};
        ::localtime_r(&seconds, &local);
        char name[4096];
        const size_t length = std::strftime(name, sizeof name, pattern_.c_str(), &local);
        if (length == 0) throw vorc::Error("'" + pattern_ + "' gives no file name");
        path.assign(name, length);
        // A second file of the same name (a pattern without seconds, a clock
        // set back) gets a number rather than replacing the first: "_2"
        // before the extension, which sorts after the first.
        const std::string base = path;
        for (int counter = 2; ::access(path.c_str(), F_OK) == 0; ++counter) path = withCounter(base, counter);
    }
    current_ = openRecordingOutput(path, container_);
    currentPath_ = path;
    currentFirst_ = first;
    if (path != "-") created_.push_back(path);
    if (timed_) applyRetention(first.received);
}

void SegmentedFile::closeFile() {
    if (current_ == nullptr) return;
    if (!current_->close() && failure_.empty()) failure_ = "writing '" + currentPath_ + "' failed";
    current_.reset();
}

void SegmentedFile::applyRetention(WallClock::time_point now) {
    if (rules_.keepFor.count() == 0 && rules_.maxBytes == 0) return;
    struct Old {
        fs::file_time_type written;
        std::string path;
        uint64_t size;
    };
    std::vector<Old> files;
    uint64_t total = 0;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory_, error)) {
        std::error_code entryError;
        if (!entry.is_regular_file(entryError) || !std::regex_match(entry.path().filename().string(), namesOfPattern_))
            continue;
        const uint64_t size = entry.file_size(entryError);
        if (entryError) continue;
        total += size;
        if (fs::equivalent(entry.path(), currentPath_, entryError)) continue;  // counts, but stays
        files.push_back(Old{entry.last_write_time(entryError), entry.path().string(), size});
    }
    std::sort(files.begin(), files.end(), [](const Old& a, const Old& b) {
        return a.written != b.written ? a.written < b.written : a.path < b.path;
    });
    // The file clock and the wall clock differ in epoch only.
    const auto cutoff = fs::file_time_type::clock::now() - (WallClock::now() - now) - rules_.keepFor;
    for (const Old& file : files) {
        const bool tooOld = rules_.keepFor.count() > 0 && file.written < cutoff;
        const bool tooMuch = rules_.maxBytes > 0 && total > rules_.maxBytes;
        if (!tooOld && !tooMuch) break;
        if (fs::remove(file.path, error)) total -= file.size;
    }
}
