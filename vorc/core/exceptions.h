// The library's exceptions, all under vorcException. The decoding chain's
// classes throw them only from constructors (a scan decoder whose Huffman
// trees cannot be built, a camera connection that cannot be set up) and
// carry no text: the type says what failed. The newer interfaces throw the
// vorc::Error family, which says why.
#ifndef VORC_CORE_EXCEPTIONS_H
#define VORC_CORE_EXCEPTIONS_H

#include <exception>
#include <string>
#include <utility>

class vorcException : public std::exception {};

// Setting up an object failed (a decoding tree could not be configured).
class vorcDidntWorkOutException : public vorcException {};

// A live camera connection could not be created, connected or asked.
class vorcIOFailure : public vorcException {};

namespace vorc {

// The exceptions of the library's newer interfaces (the Reader, the chain,
// the checked camera, the stream encoder, the motion detector): one family
// under vorcException, each saying why in what().
class Error : public vorcException {
public:
    explicit Error(std::string reason) : reason_(std::move(reason)) {}
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string reason_;
};

// A caller passed a value that an object cannot work with (a picture size,
// a quality, a zone); what() says which.
class InvalidArgument : public Error {
public:
    using Error::Error;
};

// A source cannot be opened, connected or read, or a camera answered with an
// HTTP status other than 200.
class SourceError : public Error {
public:
    explicit SourceError(std::string reason, int systemError = 0)
        : Error(std::move(reason)), systemError_(systemError) {}
    // The system's error number (an errno value such as ENOENT or EACCES)
    // when the system refused to open the source; 0 otherwise.
    int systemError() const noexcept { return systemError_; }

private:
    int systemError_;
};

// The caller's interrupted check asked to stop waiting for the source.
class InterruptedError : public SourceError {
public:
    using SourceError::SourceError;
};

// The source stayed silent longer than the time-out.
class TimeoutError : public SourceError {
public:
    using SourceError::SourceError;
};

// A live camera could not be reached: what() says which address failed and
// why (the system's text for the error, or a time-out). A vorcIOFailure, as
// the live camera's constructors promise; the Reader turns it into a
// SourceError.
class ConnectionFailure : public vorcIOFailure {
public:
    explicit ConnectionFailure(std::string reason) : reason_(std::move(reason)) {}
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string reason_;
};

}  // namespace vorc

#endif
