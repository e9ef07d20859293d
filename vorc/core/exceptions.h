// The library's exceptions. Most carry no text: the type says what failed;
// a failed camera connection also says why.
// The decoding side throws them only from constructors (a scan decoder whose
// Huffman trees cannot be built, a camera connection that cannot be set up);
// the stream encoder also rejects bad arguments with one. Callers catch
// vorcException to handle all of them.
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

// A live camera could not be reached; what() says which address failed and
// why (the system's text for the error, or a time-out).
class vorcConnectionFailure : public vorcIOFailure {
public:
    explicit vorcConnectionFailure(std::string reason) : reason_(std::move(reason)) {}
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string reason_;
};

// A caller passed a value that an object cannot work with (the stream
// encoder's picture size, quality or key-frame interval). Unlike the others
// it says which value was wrong; the reason must be a string literal.
class vorcInvalidArgument : public vorcException {
public:
    explicit vorcInvalidArgument(const char* reason) noexcept : reason_(reason) {}
    const char* what() const noexcept override { return reason_; }

private:
    const char* reason_;
};

#endif
