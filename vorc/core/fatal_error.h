// Fatal stream errors. A corrupt stream ends the host process with exit
// status 666 (a POSIX parent sees 154) after its reason has been reported;
// this is the one place where that policy lives. Internal to the library.
#ifndef VORC_CORE_FATAL_ERROR_H
#define VORC_CORE_FATAL_ERROR_H

namespace vorc {

constexpr int FatalStreamErrorExitStatus = 666;

// Sends msg as a status message (with context), then ends the process.
[[noreturn]] void failStream(const char* msg, void* context);

// An invalid Huffman codeword: the line " !!! invalid codeword !!!" goes
// straight to standard output, not through the status handler.
[[noreturn]] void failInvalidCodeword();

}  // namespace vorc

#endif
