// An output file that a failure takes back: opened before any input is read,
// so that a file that cannot be written is found at once, and removed again
// unless kept, so that no half-written or empty file stays behind. Only a
// regular file is removed; the output may be a device or a pipe. "-" is
// standard output, which is flushed but never closed or removed.
#ifndef VORC_TOOLS_CLI_OUTPUT_FILE_H
#define VORC_TOOLS_CLI_OUTPUT_FILE_H

#include <cstdio>
#include <string>

class OutputFile {
public:
    // Opens path for writing; file() is null when that failed, errno saying why.
    explicit OutputFile(const std::string& path);
    // Discards the file unless kept.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Null after close() and discard().
    std::FILE* file() const { return file_; }
    bool toStandardOutput() const { return toStandardOutput_; }
    // Closes the file (standard output: flushes it); false when that
    // failed, errno saying why.
    bool close();
    // The output is complete: the file stays.
    void keep() { kept_ = true; }
    // Closes the file if it is open and removes it if it is a regular one.
    void discard();

private:
    const std::string path_;
    const bool toStandardOutput_;
    std::FILE* file_;
    bool regular_ = false;
    bool kept_ = false;
};

#endif
