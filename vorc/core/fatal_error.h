// Fatal stream errors. By default a corrupt stream ends the host process with
// exit status 666 (a POSIX parent sees 154) after its reason has been
// reported; a parser that skips damaged frames instead opens a
// SkipStreamErrors scope around its work, inside which the same calls report
// the reason and then unwind to the parser as StreamErrorSkipped. This is the
// one place where that policy lives, so every scan decoder reports through it
// unchanged. Internal to the library.
#ifndef VORC_CORE_FATAL_ERROR_H
#define VORC_CORE_FATAL_ERROR_H

namespace vorc {

constexpr int FatalStreamErrorExitStatus = 666;

// Sends msg as a status message (with context), then ends the process, or
// throws StreamErrorSkipped inside a SkipStreamErrors scope.
[[noreturn]] void failStream(const char* msg, void* context);

// What only a damaged stream shows but the default policy lets pass, such as
// scan data left after a frame's last tile: inside a SkipStreamErrors scope
// reported and unwound like failStream, otherwise nothing happens.
void failStreamWhenSkipping(const char* msg, void* context);

// An invalid Huffman codeword: the line " !!! invalid codeword !!!" through
// the status handler, then as failStream.
[[noreturn]] void failInvalidCodeword();

// A fault that no frame-skipping can contain (a source that wrote past the
// room it was given, an impossible parser state): always ends the process.
[[noreturn]] void failInternal(const char* msg, void* context);

namespace detail {

// Unwinds from the point of a stream error to the parser that skips it.
// Deliberately not derived from std::exception, so that no catch on the way
// takes it for something else. message is a string literal.
struct StreamErrorSkipped {
    const char* message;
};

// While one exists on this thread, fatal stream errors throw instead of
// ending the process. Scopes nest; each restores what it found.
class SkipStreamErrors {
public:
    explicit SkipStreamErrors(bool skip);
    ~SkipStreamErrors();
    SkipStreamErrors(const SkipStreamErrors&) = delete;
    SkipStreamErrors& operator=(const SkipStreamErrors&) = delete;

private:
    bool outer_;
};

}  // namespace detail

}  // namespace vorc

#endif
