// The library's exceptions. They carry no text: the type says what failed.
// Only constructors throw them (a scan decoder whose Huffman trees cannot be
// built, a camera connection that cannot be set up); callers catch
// vorcException to handle all of them.
#ifndef VORC_CORE_EXCEPTIONS_H
#define VORC_CORE_EXCEPTIONS_H

#include <exception>

class vorcException : public std::exception {};

// Setting up an object failed (a decoding tree could not be configured).
class vorcDidntWorkOutException : public vorcException {};

// A live camera connection could not be created, connected or asked.
class vorcIOFailure : public vorcException {};

#endif
